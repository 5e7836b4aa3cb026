'use strict';

const { constants: bufferConstants } = require('node:buffer');

// A reply longer than this cannot become a JavaScript string, so it cannot be read at all.
const maxReplyBytes = bufferConstants.MAX_STRING_LENGTH;

// Splits the bytes of a connection into NUL-terminated messages, however they arrive: a
// message in many pieces, several messages in one piece. Pieces are joined once per message.
class MessageFramer {
  #pieces = [];
  #pendingBytes = 0;

  // Adds `chunk` and returns the messages it completed, without their NULs. Throws a RangeError
  // once an unfinished message is longer than any reply that can be read.
  push(chunk) {
    const messages = [];
    let start = 0;
    let end;
    while ((end = chunk.indexOf(0, start)) !== -1) {
      const tail = chunk.subarray(start, end);
      messages.push(this.#pieces.length === 0 ? tail : Buffer.concat([...this.#pieces, tail]));
      this.#pieces = [];
      this.#pendingBytes = 0;
      start = end + 1;
    }
    if (start < chunk.length) {
      this.#pieces.push(chunk.subarray(start));
      this.#pendingBytes += chunk.length - start;
      if (this.#pendingBytes > maxReplyBytes) {
        throw new RangeError(`a reply is longer than ${maxReplyBytes} bytes`);
      }
    }
    return messages;
  }

  // Bytes of a message begun but not finished.
  get pendingBytes() {
    return this.#pendingBytes;
  }
}

module.exports = { MessageFramer };
