'use strict';

const net = require('node:net');
const { MessageFramer } = require('./MessageFramer');
const { HelperError, HelperErrorCode, systemErrorText, unreachable } = require('./HelperError');

const permissionDenied = 'org.varlink.service.PermissionDenied';

// Socket errors that prove the helper never read the whole call: it had closed before the call
// was written (EPIPE), or it closed with the call still unread in its socket (ECONNRESET).
const unreadCallErrors = new Set([
  'EPIPE',
  'ECONNRESET',
  'ERR_STREAM_WRITE_AFTER_END',
  'ERR_STREAM_DESTROYED',
]);

const utf8 = new TextDecoder('utf-8', { fatal: true });

// The reply's envelope as an object, or a description of what is wrong with it.
function decodeReply(bytes) {
  let reply;
  try {
    reply = JSON.parse(utf8.decode(bytes));
  } catch (error) {
    return { problem: `it is not JSON text (${error.message})` };
  }
  if (reply === null || typeof reply !== 'object' || Array.isArray(reply)) {
    return { problem: 'it is not a JSON object' };
  }
  const { error = null, parameters = null, continues = false } = reply;
  if (error !== null && typeof error !== 'string') {
    return { problem: 'its error name is not a string' };
  }
  if (parameters !== null && (typeof parameters !== 'object' || Array.isArray(parameters))) {
    return { problem: 'its parameters are not an object' };
  }
  // No call of this client asks for more than one reply.
  if (continues !== false) {
    return { problem: 'it says more replies follow' };
  }
  return { error, parameters: parameters ?? {} };
}

function malformed(problem) {
  return new HelperError(
    HelperErrorCode.MALFORMED_REPLY,
    `The helper's reply cannot be read: ${problem}`,
    { sent: true },
  );
}

// One connection to the helper, carrying calls one at a time in the order they were made.
// - The socket is opened by the first call, and opened anew by the next call once the helper
//   has closed it (an idle connection, a restarted helper).
// - A call that times out or is aborted after it went out takes the socket with it, so its
//   reply can never be read as a later call's.
// - A call is never sent twice unless the helper provably never read it.
// - An idle socket does not keep the process alive.
class HelperConnection {
  #socketPath;
  #queue = []; // calls not started yet, oldest first
  #active = null; // the call being connected or waiting for its reply
  #link = null; // the open socket: { socket, framer, connected, ended, error }

  constructor(socketPath) {
    this.#socketPath = socketPath;
  }

  // Sends `message` (an encoded call) and resolves with the reply's parameters; rejects with a
  // HelperError. `timeout` (ms, or Infinity) counts from now, time spent queued included.
  call(message, { timeout, signal }) {
    return new Promise((resolve, reject) => {
      const call = { message, resolve, reject, state: 'queued', sent: false, retried: false };
      if (signal?.aborted) {
        reject(abortedError(signal, false));
        return;
      }
      if (timeout !== Infinity) {
        call.timer = setTimeout(() => this.#giveUp(call, timedOutError(timeout, call)), timeout);
      }
      if (signal) {
        call.signal = signal;
        call.onAbort = () => this.#giveUp(call, abortedError(signal, call.sent));
        signal.addEventListener('abort', call.onAbort, { once: true });
      }
      this.#queue.push(call);
      this.#startNext();
    });
  }

  // Ends the connection now. Calls not yet answered reject with HELPER_ABORTED; a later call
  // connects anew.
  close() {
    const pending = [...(this.#active ? [this.#active] : []), ...this.#queue];
    this.#queue = [];
    this.#dropLink();
    for (const call of pending) {
      this.#finish(call, {
        error: new HelperError(HelperErrorCode.ABORTED, 'The client was closed', {
          sent: call.sent,
        }),
      });
    }
  }

  #startNext() {
    if (this.#active) return;
    const call = this.#queue.shift();
    const link = this.#link;
    if (!call) {
      link?.socket.unref();
      return;
    }
    this.#active = call;
    if (link && link.connected && !link.ended && !link.socket.destroyed) {
      link.socket.ref();
      this.#send(call, link);
    } else {
      this.#dropLink();
      this.#connect(call);
    }
  }

  #connect(call) {
    call.state = 'connecting';
    const socket = net.createConnection({ path: this.#socketPath });
    const link = { socket, framer: new MessageFramer(), connected: false, ended: false, error: null };
    this.#link = link;
    socket.on('connect', () => {
      link.connected = true;
      if (this.#link === link && this.#active?.state === 'connecting') {
        this.#send(this.#active, link);
      }
    });
    socket.on('data', (chunk) => this.#received(link, chunk));
    socket.on('end', () => {
      link.ended = true;
      if (this.#link === link && !this.#active) this.#dropLink();
    });
    socket.on('error', (error) => {
      link.error ??= error;
    });
    socket.on('close', () => this.#closed(link));
  }

  #send(call, link) {
    call.state = 'sent';
    call.sent = true;
    call.replyBytes = 0;
    link.socket.write(call.message);
  }

  #received(link, chunk) {
    if (this.#link !== link) return;
    const call = this.#active?.state === 'sent' ? this.#active : null;
    if (call) call.replyBytes += chunk.length;
    let messages;
    try {
      messages = link.framer.push(chunk);
    } catch (tooLong) {
      this.#dropLink();
      if (call) this.#finish(call, { error: malformed(tooLong.message) });
      return;
    }
    if (messages.length === 0) return;
    // Exactly one reply is owed, and only while a call waits: anything else means the stream
    // can no longer be trusted.
    if (!call || messages.length > 1 || link.framer.pendingBytes > 0) {
      this.#dropLink();
    }
    if (call) this.#finish(call, this.#outcomeOf(messages[0]));
  }

  #outcomeOf(bytes) {
    const reply = decodeReply(bytes);
    if (reply.problem) {
      this.#dropLink();
      return { error: malformed(reply.problem) };
    }
    if (reply.error === permissionDenied) {
      // The helper closes a refused connection; the next call tries again.
      this.#dropLink();
      return {
        error: new HelperError(HelperErrorCode.REFUSED, 'The helper refused this user', {
          varlinkError: reply.error,
          sent: true,
        }),
      };
    }
    if (reply.error !== null) {
      return {
        error: new HelperError(
          HelperErrorCode.VARLINK_ERROR,
          `The helper answered ${reply.error}`,
          { varlinkError: reply.error, parameters: reply.parameters, sent: true },
        ),
      };
    }
    return { value: reply.parameters };
  }

  #closed(link) {
    if (this.#link !== link) return;
    this.#link = null;
    const call = this.#active;
    if (!call) return;
    if (call.state === 'connecting') {
      const error = link.error ?? new Error('the connection closed while being made');
      this.#finish(call, { error: unreachable(this.#socketPath, error) });
      return;
    }
    const neverRead =
      unreadCallErrors.has(link.error?.code) && call.replyBytes === 0 && !call.retried;
    if (neverRead) {
      // The helper closed this connection (idle, or restarting) before it read the call.
      call.retried = true;
      call.sent = false;
      this.#connect(call);
      return;
    }
    const why = link.error
      ? `the connection to the helper failed: ${systemErrorText(link.error)}`
      : 'the helper closed the connection before replying';
    this.#finish(call, {
      error: new HelperError(HelperErrorCode.INTERRUPTED, `Connection to helper interrupted: ${why}`, {
        sent: true,
        cause: link.error ?? undefined,
      }),
    });
  }

  // Ends `call` with `error` wherever it is; a call that went out takes its socket along.
  #giveUp(call, error) {
    if (call.state === 'done') return;
    if (call.state === 'queued') {
      this.#queue.splice(this.#queue.indexOf(call), 1);
    } else {
      this.#dropLink();
    }
    this.#finish(call, { error });
  }

  #finish(call, outcome) {
    if (call.state === 'done') return;
    call.state = 'done';
    clearTimeout(call.timer);
    call.signal?.removeEventListener('abort', call.onAbort);
    if (this.#active === call) this.#active = null;
    if (outcome.error) {
      call.reject(outcome.error);
    } else {
      call.resolve(outcome.value);
    }
    this.#startNext();
  }

  #dropLink() {
    const link = this.#link;
    if (!link) return;
    this.#link = null;
    link.socket.destroy();
  }
}

function timedOutError(timeout, call) {
  return new HelperError(HelperErrorCode.TIMED_OUT, `No reply from the helper within ${timeout} ms`, {
    sent: call.sent,
  });
}

function abortedError(signal, sent) {
  return new HelperError(HelperErrorCode.ABORTED, 'The call was aborted', {
    sent,
    cause: signal.reason,
  });
}

module.exports = { HelperConnection };
