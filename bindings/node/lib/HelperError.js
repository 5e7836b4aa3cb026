'use strict';

const { getSystemErrorMap } = require('node:util');

// Stable codes a caller can switch on; the message is for people and may change.
const HelperErrorCode = Object.freeze({
  INVALID_ARGUMENT: 'HELPER_INVALID_ARGUMENT',
  UNREACHABLE: 'HELPER_UNREACHABLE',
  REFUSED: 'HELPER_REFUSED',
  INTERRUPTED: 'HELPER_INTERRUPTED',
  TIMED_OUT: 'HELPER_TIMED_OUT',
  ABORTED: 'HELPER_ABORTED',
  VARLINK_ERROR: 'HELPER_VARLINK_ERROR',
  MALFORMED_REPLY: 'HELPER_MALFORMED_REPLY',
});

// Why a connection could not be made, from the code of the connect error.
const UnreachableReason = Object.freeze({
  NO_SOCKET: 'no-socket',
  PERMISSION_DENIED: 'permission-denied',
  NOT_LISTENING: 'not-listening',
  OTHER: 'other',
});

const reasonBySystemCode = new Map([
  ['ENOENT', UnreachableReason.NO_SOCKET],
  ['ENOTDIR', UnreachableReason.NO_SOCKET],
  ['EACCES', UnreachableReason.PERMISSION_DENIED],
  ['EPERM', UnreachableReason.PERMISSION_DENIED],
  ['ECONNREFUSED', UnreachableReason.NOT_LISTENING],
]);

// The one error class every call rejects with. `code` says what happened; `sent` whether the
// call went out, so that the helper may have carried it out (a script may have run).
class HelperError extends Error {
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'HelperError';
    this.code = code;
    this.sent = details.sent === true;
    if (details.reason !== undefined) this.reason = details.reason;
    if (details.systemCode !== undefined) this.systemCode = details.systemCode;
    if (details.varlinkError !== undefined) this.varlinkError = details.varlinkError;
    if (details.parameters !== undefined) this.parameters = details.parameters;
  }
}

// "No such file or directory (ENOENT)" for a Node system error, else its own message.
function systemErrorText(error) {
  const known = typeof error.errno === 'number' ? getSystemErrorMap().get(error.errno) : undefined;
  if (!known) return error.message;
  const [name, text] = known;
  return `${text.charAt(0).toUpperCase()}${text.slice(1)} (${name})`;
}

function unreachable(socketPath, error) {
  const systemCode = typeof error.code === 'string' ? error.code : undefined;
  return new HelperError(
    HelperErrorCode.UNREACHABLE,
    `Cannot reach the helper at ${socketPath}: ${systemErrorText(error)}`,
    { reason: reasonBySystemCode.get(systemCode) ?? UnreachableReason.OTHER, systemCode, cause: error },
  );
}

module.exports = { HelperError, HelperErrorCode, UnreachableReason, systemErrorText, unreachable };
