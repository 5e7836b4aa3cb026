'use strict';

const { stat } = require('node:fs/promises');
const { HelperConnection } = require('./HelperConnection');
const { HelperError, HelperErrorCode } = require('./HelperError');
const { isWellFormedText } = require('./Text');

const defaults = Object.freeze({
  socketPath: '/run/com.quillmere.helper.sock',
  installPath: '/usr/libexec/com.quillmere.helper',
  commandTimeout: 30_000,
  versionTimeout: 5_000,
});

const interfaceName = 'com.quillmere.helper';

// The helper closes a connection whose call is larger than this, so such a call is not sent.
const maxCallBytes = 16 * 1024 * 1024;

// Largest delay setTimeout keeps; longer ones would fire at once.
const maxTimeout = 2 ** 31 - 1;

function invalidArgument(message) {
  return new HelperError(HelperErrorCode.INVALID_ARGUMENT, message);
}

// A problem with a timeout value, or nothing when it is usable.
function timeoutProblem(name, value) {
  if (value === Infinity) return null;
  if (typeof value !== 'number' || !Number.isFinite(value) || value <= 0 || value > maxTimeout) {
    return `${name} must be a number of milliseconds above 0 and at most ${maxTimeout}, or Infinity`;
  }
  return null;
}

// A problem with a text argument, or nothing when it can be sent unchanged. null crosses as
// null, which the helper serves as the empty text.
function textProblem(name, value) {
  if (value === null) return null;
  if (typeof value !== 'string') return `${name} must be a string or null`;
  if (!isWellFormedText(value)) {
    return `Cannot send the ${name} to the helper: it holds a lone surrogate, which UTF-8 cannot carry`;
  }
  return null;
}

function isText(value) {
  return value === null || typeof value === 'string';
}

// By shape rather than class, so that a signal from another realm (an Electron context) works.
function isAbortSignal(value) {
  return (
    value !== null &&
    typeof value === 'object' &&
    typeof value.aborted === 'boolean' &&
    typeof value.addEventListener === 'function' &&
    typeof value.removeEventListener === 'function'
  );
}

function commandResult(parameters) {
  const { success, output = null, error = null } = parameters;
  if (typeof success !== 'boolean' || !isText(output) || !isText(error)) return null;
  return { success, output, error };
}

function malformedParameters(method) {
  return new HelperError(
    HelperErrorCode.MALFORMED_REPLY,
    `The helper's reply cannot be read: its parameters do not match ${method}`,
    { sent: true },
  );
}

// The desktop application's link to the root helper. Every call resolves with the helper's
// reply and rejects with a HelperError for anything that kept a reply from being had.
// Constructing it sends nothing; the connection is made by the first call.
class HelperClient {
  #connection;
  #installPath;
  #commandTimeout;
  #versionTimeout;

  constructor(options = {}) {
    if (options === null || typeof options !== 'object') {
      throw invalidArgument('options must be an object');
    }
    const settings = {};
    for (const name of Object.keys(defaults)) settings[name] = options[name] ?? defaults[name];
    for (const name of ['socketPath', 'installPath']) {
      if (typeof settings[name] !== 'string' || settings[name] === '') {
        throw invalidArgument(`${name} must be a non-empty string`);
      }
    }
    for (const name of ['commandTimeout', 'versionTimeout']) {
      const problem = timeoutProblem(name, settings[name]);
      if (problem) throw invalidArgument(problem);
    }
    this.#connection = new HelperConnection(settings.socketPath);
    this.#installPath = settings.installPath;
    this.#commandTimeout = settings.commandTimeout;
    this.#versionTimeout = settings.versionTimeout;
  }

  // Brings the WireGuard interface of `configPath` up or down; `command` is "up" or "down".
  async executeWireGuardCommand(command, configPath, options) {
    return this.#runCommand(
      'ExecuteWireGuardCommand',
      [['command', command], ['configuration path', configPath]],
      { command, configPath },
      options,
    );
  }

  // Runs `script` with /bin/bash as root.
  async executeShellScript(script, options) {
    return this.#runCommand('ExecuteShellScript', [['script', script]], { script }, options);
  }

  async getVersion(options) {
    const parameters = await this.#call('GetVersion', {}, options, this.#versionTimeout);
    if (typeof parameters.version !== 'string') throw malformedParameters('GetVersion');
    return parameters.version;
  }

  // Removes the helper's service. Under systemd the removal stops the helper, which then
  // usually ends the connection before it can reply: the call rejects with HELPER_INTERRUPTED.
  async uninstallHelper(options) {
    const parameters = await this.#call('UninstallHelper', {}, options, this.#commandTimeout);
    if (typeof parameters.success !== 'boolean') throw malformedParameters('UninstallHelper');
    return parameters.success;
  }

  // Whether the daemon's executable is installed (stat follows links); sends nothing.
  async isHelperInstalled() {
    try {
      await stat(this.#installPath);
      return true;
    } catch {
      return false;
    }
  }

  // Ends the connection; unanswered calls reject with HELPER_ABORTED. The client stays usable.
  close() {
    this.#connection.close();
  }

  async #runCommand(method, texts, parameters, options) {
    for (const [name, value] of texts) {
      const problem = textProblem(name, value);
      if (problem) throw invalidArgument(problem);
    }
    const reply = await this.#call(method, parameters, options, this.#commandTimeout);
    const result = commandResult(reply);
    if (!result) throw malformedParameters(method);
    return result;
  }

  async #call(method, parameters, options = {}, defaultTimeout) {
    if (options === null || typeof options !== 'object') {
      throw invalidArgument('options must be an object');
    }
    const { timeout = defaultTimeout, signal } = options;
    const problem = timeoutProblem('timeout', timeout);
    if (problem) throw invalidArgument(problem);
    if (signal !== undefined && !isAbortSignal(signal)) {
      throw invalidArgument('signal must be an AbortSignal');
    }
    const text = JSON.stringify({ method: `${interfaceName}.${method}`, parameters });
    if (Buffer.byteLength(text) > maxCallBytes) {
      throw invalidArgument(`The call is larger than the ${maxCallBytes / 1024 / 1024} MiB the helper accepts`);
    }
    return this.#connection.call(Buffer.from(`${text}\0`), { timeout, signal });
  }
}

module.exports = { HelperClient, defaults };
