'use strict';

const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

// One connection as the fake sees it: the calls it read, and ways to answer or misbehave.
class FakePeer {
  constructor(socket, index) {
    this.socket = socket;
    this.index = index; // 0 for the first connection the fake accepted
  }

  reply(message) {
    this.send(`${JSON.stringify(message)}\0`);
  }

  send(bytes) {
    if (!this.socket.destroyed) this.socket.write(bytes);
  }
}

// A Varlink server on a Unix socket in a temporary directory, standing in for the helper. Each
// call read is given to `handler(call, peer)`, which answers through `peer` (or not at all).
class FakeHelper {
  static async start(handler) {
    const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmere-fake-'));
    const fake = new FakeHelper(directory, handler);
    await new Promise((resolve, reject) => {
      fake.server.once('error', reject);
      fake.server.listen(fake.socketPath, resolve);
    });
    return fake;
  }

  constructor(directory, handler) {
    this.directory = directory;
    this.socketPath = path.join(directory, 'helper.sock');
    this.handler = handler;
    this.peers = [];
    this.calls = []; // every call read, in order: { method, parameters, peer }
    this.server = net.createServer((socket) => this.#accept(socket));
  }

  get connections() {
    return this.peers.length;
  }

  #accept(socket) {
    const peer = new FakePeer(socket, this.peers.length);
    this.peers.push(peer);
    socket.on('error', () => {});
    let pending = Buffer.alloc(0);
    socket.on('data', (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      let end;
      while ((end = pending.indexOf(0)) !== -1) {
        const call = JSON.parse(pending.subarray(0, end).toString('utf8'));
        pending = pending.subarray(end + 1);
        this.calls.push({ ...call, peer });
        this.handler(call, peer);
      }
    });
  }

  async stop() {
    for (const peer of this.peers) peer.socket.destroy();
    await new Promise((resolve) => this.server.close(resolve));
    fs.rmSync(this.directory, { recursive: true, force: true });
  }
}

// A promise with its resolve function at hand.
function deferred() {
  let resolve;
  const promise = new Promise((done) => {
    resolve = done;
  });
  return { promise, resolve };
}

// Copies the library (not its tests) into `directory`, for a process of another user, which may
// not be able to read the checkout. Returns the copy's path.
function copyLibrary(directory) {
  const packageDirectory = path.resolve(__dirname, '..', '..');
  const copy = path.join(directory, 'quillmere-helper-client');
  fs.mkdirSync(path.join(copy, 'lib'), { recursive: true, mode: 0o755 });
  fs.chmodSync(copy, 0o755);
  fs.chmodSync(path.join(copy, 'lib'), 0o755);
  for (const file of ['index.js', ...fs.readdirSync(path.join(packageDirectory, 'lib')).map((name) => `lib/${name}`)]) {
    fs.copyFileSync(path.join(packageDirectory, file), path.join(copy, file));
    fs.chmodSync(path.join(copy, file), 0o644);
  }
  return copy;
}

module.exports = { FakeHelper, copyLibrary, deferred };
