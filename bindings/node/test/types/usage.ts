// Compiled by `npm run check-types`, never run: how a TypeScript caller uses the declarations,
// and misuses that the declarations must reject.
import {
  CommandResult,
  HelperClient,
  HelperError,
  HelperErrorCode,
  UnreachableReason,
} from '../..';

async function usage(): Promise<void> {
  const client = new HelperClient({ socketPath: '/run/com.quillmere.helper.sock', commandTimeout: 1000 });
  const controller = new AbortController();
  const result: CommandResult = await client.executeShellScript('true', {
    timeout: 500,
    signal: controller.signal,
  });
  const output: string | null = result.output;
  // @ts-expect-error output may be null
  const mustBeText: string = result.output;
  await client.executeWireGuardCommand('up', '/etc/wireguard/wg0.conf');
  await client.executeShellScript(null);
  // @ts-expect-error a script is a string or null
  await client.executeShellScript(42);
  // @ts-expect-error timeouts are numbers
  await client.getVersion({ timeout: '5' });
  const version: string = await client.getVersion();
  const removed: boolean = await client.uninstallHelper();
  const installed: boolean = await client.isHelperInstalled();
  client.close();
  void [output, mustBeText, version, removed, installed];

  try {
    await client.getVersion();
  } catch (error) {
    if (!(error instanceof HelperError)) throw error;
    switch (error.code) {
      case HelperErrorCode.UNREACHABLE: {
        const reason: UnreachableReason | undefined = error.reason;
        const systemCode: string | undefined = error.systemCode;
        void [reason, systemCode];
        break;
      }
      case HelperErrorCode.VARLINK_ERROR:
      case HelperErrorCode.REFUSED: {
        const name: string | undefined = error.varlinkError;
        void name;
        break;
      }
      // @ts-expect-error not one of the codes
      case 'HELPER_UNKNOWN':
        break;
      default: {
        const sent: boolean = error.sent;
        void sent;
      }
    }
  }
}

void usage;
