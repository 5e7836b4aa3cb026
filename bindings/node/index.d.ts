// Type declarations for quillmere-helper-client.

/** The reply of the WireGuard and script calls. `null` and `""` are different values. */
export interface CommandResult {
  success: boolean;
  output: string | null;
  error: string | null;
}

export interface HelperClientOptions {
  /** Where the helper listens. Default `/run/com.quillmere.helper.sock`. */
  socketPath?: string;
  /** The daemon file `isHelperInstalled()` looks for. Default `/usr/libexec/com.quillmere.helper`. */
  installPath?: string;
  /** Milliseconds a WireGuard, script or uninstall call waits. Default 30000. */
  commandTimeout?: number;
  /** Milliseconds `getVersion()` waits. Default 5000. */
  versionTimeout?: number;
}

export interface CallOptions {
  /** Milliseconds (or `Infinity`) from the call until it gives up, queueing included. */
  timeout?: number;
  signal?: AbortSignal;
}

export declare const HelperErrorCode: {
  readonly INVALID_ARGUMENT: 'HELPER_INVALID_ARGUMENT';
  readonly UNREACHABLE: 'HELPER_UNREACHABLE';
  readonly REFUSED: 'HELPER_REFUSED';
  readonly INTERRUPTED: 'HELPER_INTERRUPTED';
  readonly TIMED_OUT: 'HELPER_TIMED_OUT';
  readonly ABORTED: 'HELPER_ABORTED';
  readonly VARLINK_ERROR: 'HELPER_VARLINK_ERROR';
  readonly MALFORMED_REPLY: 'HELPER_MALFORMED_REPLY';
};
export type HelperErrorCode = (typeof HelperErrorCode)[keyof typeof HelperErrorCode];

export declare const UnreachableReason: {
  readonly NO_SOCKET: 'no-socket';
  readonly PERMISSION_DENIED: 'permission-denied';
  readonly NOT_LISTENING: 'not-listening';
  readonly OTHER: 'other';
};
export type UnreachableReason = (typeof UnreachableReason)[keyof typeof UnreachableReason];

/** What every call rejects with. */
export declare class HelperError extends Error {
  readonly name: 'HelperError';
  readonly code: HelperErrorCode;
  /** True when the call went out, so the helper may have carried it out. */
  readonly sent: boolean;
  /** For HELPER_UNREACHABLE. */
  readonly reason?: UnreachableReason;
  /** For HELPER_UNREACHABLE: the system error's code, e.g. "ENOENT". */
  readonly systemCode?: string;
  /** For HELPER_REFUSED and HELPER_VARLINK_ERROR: the Varlink error's name. */
  readonly varlinkError?: string;
  /** For HELPER_VARLINK_ERROR: the error's parameters. */
  readonly parameters?: Record<string, unknown>;
  readonly cause?: unknown;
}

export declare class HelperClient {
  constructor(options?: HelperClientOptions);
  /** Brings the WireGuard interface of `configPath` up or down. */
  executeWireGuardCommand(
    command: string | null,
    configPath: string | null,
    options?: CallOptions,
  ): Promise<CommandResult>;
  /** Runs `script` with /bin/bash as root. */
  executeShellScript(script: string | null, options?: CallOptions): Promise<CommandResult>;
  getVersion(options?: CallOptions): Promise<string>;
  uninstallHelper(options?: CallOptions): Promise<boolean>;
  /** Whether the daemon file exists; sends nothing. */
  isHelperInstalled(): Promise<boolean>;
  /** Ends the connection; unanswered calls reject with HELPER_ABORTED. */
  close(): void;
}
