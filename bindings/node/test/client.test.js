'use strict';

// The client against a fake helper: replies as sent, deadlines, late and broken replies,
// hang-ups, reconnection. Deadlines are a few tens of milliseconds; nothing sleeps.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { describe, it, before, after, afterEach } = require('node:test');

const { HelperClient, HelperError, HelperErrorCode, UnreachableReason } = require('..');
const { FakeHelper, copyLibrary, deferred } = require('./support/FakeHelper');

const packageDirectory = path.resolve(__dirname, '..');
const script = (text) => ({ method: 'com.quillmere.helper.ExecuteShellScript', parameters: { script: text } });

// Answers a script call with its text as output, and a version call with "1.0.0".
function echo(call, peer) {
  if (call.method.endsWith('.GetVersion')) {
    peer.reply({ parameters: { version: '1.0.0' } });
  } else {
    peer.reply({ parameters: { success: true, output: call.parameters.script, error: null } });
  }
}

async function rejectsWith(promise, expected) {
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof HelperError, `not a HelperError: ${error}`);
    for (const [name, value] of Object.entries(expected)) {
      assert.deepEqual(error[name], value, `${name} of ${error.message}`);
    }
    return true;
  });
}

describe('against a fake helper', () => {
  let fake;
  let client;
  let handle = echo;

  before(async () => {
    fake = await FakeHelper.start((call, peer) => handle(call, peer));
  });
  after(() => fake.stop());
  afterEach(() => {
    client?.close();
    handle = echo;
    fake.calls.length = 0;
    fake.peers.length = 0;
  });
  const connect = (options = {}) => {
    client = new HelperClient({ socketPath: fake.socketPath, ...options });
    return client;
  };

  describe('replies reach the caller as sent', () => {
    const cases = [
      { name: 'empty output is kept apart from no output', parameters: { success: true, output: '', error: null } },
      { name: 'missing texts read as null', parameters: { success: true }, expected: { success: true, output: null, error: null } },
      { name: 'an empty error stays empty', parameters: { success: false, output: null, error: '' } },
      { name: 'a failure without error text keeps null', parameters: { success: false, output: 'out', error: null } },
      { name: 'text outside the BMP', parameters: { success: true, output: 'h\u00e9llo \u{1F600}', error: null } },
    ];
    for (const { name, parameters, expected = parameters } of cases) {
      it(name, async () => {
        handle = (call, peer) => peer.reply({ parameters });
        assert.deepEqual(await connect().executeShellScript('x'), expected);
      });
    }

    it('sends each argument unchanged, null included', async () => {
      handle = (call, peer) => peer.reply({ parameters: { success: true } });
      await connect().executeWireGuardCommand('up', '/etc/wireguard/w\u00f6 0.conf');
      await client.executeShellScript(null);
      assert.deepEqual(fake.calls.map(({ method, parameters }) => ({ method, parameters })), [
        { method: 'com.quillmere.helper.ExecuteWireGuardCommand', parameters: { command: 'up', configPath: '/etc/wireguard/w\u00f6 0.conf' } },
        { method: 'com.quillmere.helper.ExecuteShellScript', parameters: { script: null } },
      ]);
    });

    it('reads version and uninstall replies', async () => {
      handle = (call, peer) =>
        peer.reply({ parameters: call.method.endsWith('.GetVersion') ? { version: '1.0.0' } : { success: true } });
      assert.equal(await connect().getVersion(), '1.0.0');
      assert.equal(await client.uninstallHelper(), true);
    });

    it('reads a large reply that arrives in pieces, and one sent byte by byte', async () => {
      const big = 'x'.repeat(4 * 1024 * 1024);
      handle = (call, peer) => {
        const bytes = Buffer.from(`${JSON.stringify({ parameters: { success: true, output: call.parameters.script === 'big' ? big : 'ü', error: null } })}\0`);
        if (call.parameters.script === 'big') {
          for (let at = 0; at < bytes.length; at += 65_000) peer.send(bytes.subarray(at, at + 65_000));
        } else {
          for (const byte of bytes) peer.send(Buffer.from([byte]));
        }
      };
      assert.equal((await connect().executeShellScript('big')).output, big);
      assert.equal((await client.executeShellScript('small')).output, 'ü');
    });
  });

  describe('calls on one connection', () => {
    it('go out one at a time, in order, on one connection', async () => {
      let waiting = 0;
      handle = (call, peer) => {
        waiting += 1;
        assert.equal(waiting, 1, 'a call was sent before the one before it was answered');
        setImmediate(() => {
          waiting -= 1;
          echo(call, peer);
        });
      };
      connect();
      const results = await Promise.all(['a', 'b', 'c'].map((text) => client.executeShellScript(text)));
      assert.deepEqual(results.map((result) => result.output), ['a', 'b', 'c']);
      assert.equal(fake.connections, 1);
    });

    it('a reply after its deadline is never taken for the next call', async () => {
      const held = [];
      handle = (call, peer) => {
        if (call.parameters.script === 'first') {
          held.push(() => echo(call, peer));
          return;
        }
        // A client that kept the connection gets the late reply first, as the helper would send it.
        for (const release of held.splice(0)) release();
        echo(call, peer);
      };
      // Connected first, so that the timed call goes out at once.
      assert.equal((await connect().executeShellScript('warm-up')).output, 'warm-up');
      await rejectsWith(client.executeShellScript('first', { timeout: 30 }), {
        code: HelperErrorCode.TIMED_OUT,
        sent: true,
      });
      assert.equal((await client.executeShellScript('second')).output, 'second');
    });

    it('a call still queued when its deadline passes is never sent', async () => {
      const release = deferred();
      handle = (call, peer) => release.promise.then(() => echo(call, peer));
      const first = connect().executeShellScript('first');
      await rejectsWith(client.executeShellScript('second', { timeout: 20 }), {
        code: HelperErrorCode.TIMED_OUT,
        sent: false,
      });
      release.resolve();
      assert.equal((await first).output, 'first');
      assert.deepEqual(fake.calls.map((call) => call.parameters.script), ['first']);
    });

    it('keeps the connection after a Varlink error, with its name and parameters', async () => {
      handle = (call, peer) =>
        call.parameters.script === 'bad'
          ? peer.reply({ error: 'org.varlink.service.InvalidParameter', parameters: { parameter: 'script' } })
          : echo(call, peer);
      await rejectsWith(connect().executeShellScript('bad'), {
        code: HelperErrorCode.VARLINK_ERROR,
        varlinkError: 'org.varlink.service.InvalidParameter',
        parameters: { parameter: 'script' },
        sent: true,
      });
      assert.equal((await client.executeShellScript('good')).output, 'good');
      assert.equal(fake.connections, 1);
    });
  });

  describe('aborting', () => {
    it('an already aborted signal sends nothing', async () => {
      const reason = new Error('user left');
      await rejectsWith(connect().getVersion({ signal: AbortSignal.abort(reason) }), {
        code: HelperErrorCode.ABORTED,
        sent: false,
        cause: reason,
      });
      assert.equal(fake.connections, 0);
    });

    it('a call aborted while it waits gives up its connection', async () => {
      const arrived = deferred();
      handle = (call, peer) => (call.parameters.script === 'stuck' ? arrived.resolve() : echo(call, peer));
      const controller = new AbortController();
      const stuck = connect().executeShellScript('stuck', { signal: controller.signal });
      await arrived.promise;
      controller.abort();
      await rejectsWith(stuck, { code: HelperErrorCode.ABORTED, sent: true });
      assert.equal((await client.executeShellScript('next')).output, 'next');
      assert.equal(fake.connections, 2);
    });

    it('close() ends waiting calls and the client stays usable', async () => {
      handle = (call, peer) => (call.parameters.script === 'stuck' ? undefined : echo(call, peer));
      const stuck = connect().executeShellScript('stuck');
      const queued = client.executeShellScript('queued');
      client.close();
      await rejectsWith(stuck, { code: HelperErrorCode.ABORTED });
      await rejectsWith(queued, { code: HelperErrorCode.ABORTED, sent: false });
      assert.equal((await client.executeShellScript('after')).output, 'after');
    });
  });

  describe('a connection that ends', () => {
    it('before the reply: interrupted, and the call is not sent again', async () => {
      handle = (call, peer) => (call.parameters.script === 'dies' ? peer.socket.destroy() : echo(call, peer));
      await rejectsWith(connect().executeShellScript('dies'), { code: HelperErrorCode.INTERRUPTED, sent: true });
      assert.equal(fake.calls.length, 1);
      assert.equal((await client.executeShellScript('next')).output, 'next');
    });

    it('in the middle of the reply: interrupted', async () => {
      handle = (call, peer) => {
        peer.send('{"parameters":{"success":true,');
        peer.socket.end();
      };
      await rejectsWith(connect().executeShellScript('x'), { code: HelperErrorCode.INTERRUPTED });
    });

    it('while idle: the next call connects anew', async () => {
      handle = (call, peer) => {
        echo(call, peer);
        peer.socket.end();
      };
      assert.equal(await connect().getVersion(), '1.0.0');
      await new Promise((resolve) => fake.peers[0].socket.once('close', resolve));
      assert.equal(await client.getVersion(), '1.0.0');
      assert.equal(fake.connections, 2);
    });

    it('with the next call unread in it: that call goes out once more, on a new connection', async () => {
      handle = (call, peer) => {
        echo(call, peer);
        // Stops reading, so the next call stays in the socket when the fake closes it.
        peer.socket.pause();
      };
      assert.equal((await connect().executeShellScript('one')).output, 'one');
      const two = client.executeShellScript('two');
      fake.peers[0].socket.destroy();
      assert.equal((await two).output, 'two');
      assert.deepEqual(fake.calls.map((call) => [call.parameters.script, call.peer.index]), [['one', 0], ['two', 1]]);
    });
  });

  describe('a reply that cannot be read', () => {
    const text = (bytes) => Buffer.concat([Buffer.from(bytes), Buffer.from([0])]);
    const cases = [
      { name: 'not JSON', bytes: text('{"parameters":') },
      { name: 'not UTF-8', bytes: text(Buffer.from([0x7b, 0x22, 0xff, 0x22, 0x3a, 0x31, 0x7d])) },
      { name: 'not an object', bytes: text('[1,2]') },
      { name: 'error name not a string', bytes: text('{"error":7}') },
      { name: 'parameters not an object', bytes: text('{"parameters":[]}') },
      { name: 'more replies announced', bytes: text('{"parameters":{"success":true},"continues":true}') },
      { name: 'success not a boolean', bytes: text('{"parameters":{"success":"yes"}}') },
      { name: 'output not a text', bytes: text('{"parameters":{"success":true,"output":5}}') },
      { name: 'version not a text', bytes: text('{"parameters":{"version":1}}'), call: 'getVersion' },
      { name: 'uninstall result not a boolean', bytes: text('{"parameters":{"success":null}}'), call: 'uninstallHelper' },
    ];
    for (const { name, bytes, call = 'executeShellScript' } of cases) {
      it(name, async () => {
        handle = (received, peer) => (received.parameters?.script === 'next' ? echo(received, peer) : peer.send(bytes));
        const promise = call === 'executeShellScript' ? connect().executeShellScript('x') : connect()[call]();
        await rejectsWith(promise, { code: HelperErrorCode.MALFORMED_REPLY, sent: true });
        assert.equal((await client.executeShellScript('next')).output, 'next');
      });
    }

    it('a second reply to one call: the first counts, the connection is dropped', async () => {
      handle = (call, peer) => {
        echo(call, peer);
        if (call.parameters.script === 'one') peer.reply({ parameters: { success: true, output: 'extra', error: null } });
      };
      assert.equal((await connect().executeShellScript('one')).output, 'one');
      assert.equal((await client.executeShellScript('two')).output, 'two');
      assert.equal(fake.calls.at(-1).peer.index, 1);
    });

    it('a message while no call waits: the connection is dropped', async () => {
      assert.equal((await connect().executeShellScript('one')).output, 'one');
      const dropped = new Promise((resolve) => fake.peers[0].socket.once('close', resolve));
      fake.peers[0].reply({ parameters: { success: true, output: 'unasked', error: null } });
      await dropped;
      assert.equal((await client.executeShellScript('two')).output, 'two');
    });
  });

  it('a refusal rejects as refused and the next call tries again', async () => {
    handle = (call, peer) => {
      peer.reply({ error: 'org.varlink.service.PermissionDenied' });
      peer.socket.end();
    };
    await rejectsWith(connect().getVersion(), {
      code: HelperErrorCode.REFUSED,
      varlinkError: 'org.varlink.service.PermissionDenied',
    });
    await rejectsWith(client.getVersion(), { code: HelperErrorCode.REFUSED });
    assert.equal(fake.connections, 2);
  });

  describe('arguments that cannot be sent unchanged are refused before anything is sent', () => {
    const cases = [
      ['a lone high surrogate', (c) => c.executeShellScript('echo \ud800')],
      ['a lone low surrogate', (c) => c.executeShellScript('\udc00 echo')],
      ['a reversed pair', (c) => c.executeShellScript('\ude00\ud83d')],
      ['a lone surrogate in the command', (c) => c.executeWireGuardCommand('u\ud800p', '/x.conf')],
      ['a lone surrogate in the path', (c) => c.executeWireGuardCommand('up', '/x\udfff.conf')],
      ['a script that is not a string', (c) => c.executeShellScript(42)],
      ['a missing script', (c) => c.executeShellScript()],
      ['a call over 16 MiB', (c) => c.executeShellScript('x'.repeat(16 * 1024 * 1024))],
      ['a timeout of 0', (c) => c.getVersion({ timeout: 0 })],
      ['a timeout past what timers keep', (c) => c.getVersion({ timeout: 2 ** 31 })],
      ['a timeout that is not a number', (c) => c.getVersion({ timeout: '5' })],
      ['a signal that is not one', (c) => c.getVersion({ signal: {} })],
    ];
    for (const [name, run] of cases) {
      it(name, async () => {
        await rejectsWith(run(connect()), { code: HelperErrorCode.INVALID_ARGUMENT, sent: false });
        assert.equal(fake.connections, 0);
      });
    }

    it('a surrogate pair is sent and arrives whole', async () => {
      assert.equal((await connect().executeShellScript('echo \u{1F600}')).output, 'echo \u{1F600}');
    });

    it('bad options are refused when the client is made', () => {
      for (const options of [{ socketPath: '' }, { installPath: 3 }, { commandTimeout: -1 }, { versionTimeout: NaN }]) {
        assert.throws(() => new HelperClient(options), { code: HelperErrorCode.INVALID_ARGUMENT });
      }
    });
  });

  it('an idle connection does not keep the process alive', async () => {
    const child = spawn(
      process.execPath,
      ['-e', `new (require(${JSON.stringify(packageDirectory)}).HelperClient)({ socketPath: process.argv[1] }).getVersion().then(console.log)`, fake.socketPath],
      { stdio: ['ignore', 'pipe', 'inherit'], timeout: 20_000 },
    );
    let output = '';
    child.stdout.on('data', (chunk) => {
      output += chunk;
    });
    const [status, signal] = await new Promise((resolve) => child.on('exit', (...end) => resolve(end)));
    assert.deepEqual({ status, signal, output }, { status: 0, signal: null, output: '1.0.0\n' });
    assert.equal(fake.connections, 1, 'the fake kept the connection open');
  });
});

describe('a helper that cannot be reached', () => {
  let directory;
  before(() => {
    directory = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmere-unreachable-'));
  });
  after(() => fs.rmSync(directory, { recursive: true, force: true }));

  const cases = [
    { name: 'no socket', make: () => path.join(directory, 'missing.sock'), reason: UnreachableReason.NO_SOCKET, systemCode: 'ENOENT' },
    {
      name: 'a file that nothing listens on',
      make: () => {
        const file = path.join(directory, 'plain-file');
        fs.writeFileSync(file, '');
        return file;
      },
      reason: UnreachableReason.NOT_LISTENING,
      systemCode: 'ECONNREFUSED',
    },
  ];
  for (const { name, make, reason, systemCode } of cases) {
    it(name, async () => {
      const socketPath = make();
      const client = new HelperClient({ socketPath });
      await rejectsWith(client.executeShellScript('true'), {
        code: HelperErrorCode.UNREACHABLE,
        reason,
        systemCode,
        sent: false,
      });
      assert.match((await client.getVersion().catch((error) => error)).message, new RegExp(`^Cannot reach the helper at ${socketPath}: `));
    });
  }

  it('permission denied', { skip: process.getuid() !== 0 && 'needs root to run a client as another user' }, async () => {
    const fake = await FakeHelper.start(echo);
    try {
      fs.chmodSync(fake.directory, 0o755);
      fs.chmodSync(fake.socketPath, 0o600);
      const library = copyLibrary(fake.directory);
      const program = `new (require(${JSON.stringify(library)}).HelperClient)({ socketPath: process.argv[1] })
        .getVersion().catch((e) => console.log(JSON.stringify([e.code, e.reason, e.systemCode])))`;
      const child = spawn(
        'setpriv',
        ['--reuid=65534', '--regid=65534', '--clear-groups', process.execPath, '-e', program, fake.socketPath],
        { stdio: ['ignore', 'pipe', 'inherit'], timeout: 20_000, cwd: '/' },
      );
      let output = '';
      child.stdout.on('data', (chunk) => {
        output += chunk;
      });
      await new Promise((resolve) => child.on('exit', resolve));
      assert.deepEqual(JSON.parse(output), [HelperErrorCode.UNREACHABLE, UnreachableReason.PERMISSION_DENIED, 'EACCES']);
      assert.equal(fake.connections, 0);
    } finally {
      await fake.stop();
    }
  });
});

describe('isHelperInstalled', () => {
  let directory;
  before(() => {
    directory = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmere-installed-'));
    fs.writeFileSync(path.join(directory, 'helper'), '');
    fs.symlinkSync('helper', path.join(directory, 'link'));
    fs.symlinkSync('gone', path.join(directory, 'dangling'));
  });
  after(() => fs.rmSync(directory, { recursive: true, force: true }));

  for (const [name, installed] of [['helper', true], ['link', true], ['dangling', false], ['missing', false]]) {
    it(`${name}: ${installed}`, async () => {
      const client = new HelperClient({ installPath: path.join(directory, name), socketPath: path.join(directory, 'none.sock') });
      assert.equal(await client.isHelperInstalled(), installed);
    });
  }
});
