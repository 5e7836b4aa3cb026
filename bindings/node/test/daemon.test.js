'use strict';

// The client against the real quillmere-helper, in a sandbox of this test's own.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const { describe, it, before, after } = require('node:test');

const { HelperClient, HelperError, HelperErrorCode } = require('..');
const { copyLibrary } = require('./support/FakeHelper');
const { Sandbox, unavailableReason } = require('./support/Sandbox');

const skip = unavailableReason() ?? false;

describe('against the real helper', { skip }, () => {
  let sandbox;
  let client;
  before(async () => {
    sandbox = await Sandbox.start();
    client = new HelperClient({ socketPath: sandbox.socketPath });
  });
  after(async () => {
    client?.close();
    await sandbox?.stop();
  });

  it('reports its version', async () => {
    assert.equal(await client.getVersion(), '1.0.0');
  });

  describe('scripts: null and the empty text stay apart, both streams come back', () => {
    const cases = [
      ['no output', 'true', { success: true, output: '', error: null }],
      ['both streams on success: the error stream is dropped', 'echo out; echo err >&2', { success: true, output: 'out', error: null }],
      ['both streams on failure', 'echo out; echo err >&2; exit 3', { success: false, output: 'out', error: 'err' }],
      ['failure with nothing written', 'exit 1', { success: false, output: '', error: '' }],
      ['output that is not UTF-8', "printf '\\377'", { success: true, output: null, error: null }],
      ['an error stream that is not UTF-8', "echo fine; printf '\\376' >&2; exit 2", { success: false, output: 'fine', error: null }],
      ['text beyond ASCII, both ways', "printf '%s\\n' 'h\u00e9llo \u{1F600}'", { success: true, output: 'h\u00e9llo \u{1F600}', error: null }],
      ['runs as root', 'id -u', { success: true, output: '0', error: null }],
    ];
    for (const [name, script, expected] of cases) {
      it(name, async () => {
        assert.deepEqual(await client.executeShellScript(script), expected);
      });
    }
  });

  describe('WireGuard requests the helper refuses', () => {
    const cases = [
      ['a command other than up or down', 'UP', '/etc/wireguard/wg0.conf', "Invalid command. Must be 'up' or 'down'"],
      ['an empty command', '', '/etc/wireguard/wg0.conf', "Invalid command. Must be 'up' or 'down'"],
      ['a configuration file that does not exist', 'up', '/run/no-such.conf', 'Configuration file not found: /run/no-such.conf'],
    ];
    for (const [name, command, configPath, error] of cases) {
      it(name, async () => {
        assert.deepEqual(await client.executeWireGuardCommand(command, configPath), {
          success: false,
          output: null,
          error,
        });
      });
    }
  });

  it('a call past its deadline leaves the next call its own reply', async () => {
    await assert.rejects(client.executeShellScript('sleep 2; echo late', { timeout: 100 }), {
      code: HelperErrorCode.TIMED_OUT,
    });
    assert.equal((await client.executeShellScript('echo next')).output, 'next');
  });

  it('a peer outside group quillmere is refused', async () => {
    const library = copyLibrary(sandbox.hostPath('/run'));
    const program = `new (require(${JSON.stringify(library.replace(sandbox.hostPath(''), ''))}).HelperClient)().getVersion()
      .then((v) => console.log(JSON.stringify(['resolved', v])), (e) => console.log(JSON.stringify([e.code, e.varlinkError])))`;
    const run = sandbox.runInside(
      ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', process.execPath, '-e', program],
      { cwd: '/' },
    );
    assert.equal(run.status, 0, run.stderr);
    assert.deepEqual(JSON.parse(run.stdout), [HelperErrorCode.REFUSED, 'org.varlink.service.PermissionDenied']);
    await sandbox.waitForLog(/^Quillmere Helper: Refused connection from uid 65534 \(pid \d+\)$/m);
  });

  it('the helper killed in the middle of a call: interrupted, and the script ran once', async () => {
    const marker = `/run/ran-${process.pid}`;
    const generation = sandbox.generation();
    await assert.rejects(client.executeShellScript(`echo x >> ${marker}; kill -KILL $PPID; sleep 5`), (error) => {
      assert.ok(error instanceof HelperError);
      assert.equal(error.code, HelperErrorCode.INTERRUPTED);
      assert.equal(error.sent, true);
      return true;
    });
    assert.equal(fs.readFileSync(sandbox.hostPath(marker), 'utf8'), 'x\n');
    await sandbox.waitForGeneration(generation + 1);
  });

  it('the helper restarted between calls: the next call reconnects by itself', async () => {
    assert.equal(await client.getVersion(), '1.0.0');
    const generation = sandbox.generation();
    sandbox.killHelper();
    await sandbox.waitForGeneration(generation + 1);
    assert.equal(await client.getVersion(), '1.0.0');
    assert.deepEqual(await client.executeShellScript('echo again'), { success: true, output: 'again', error: null });
  });

  describe('uninstallHelper', () => {
    const removal = 'disable --now com.quillmere.helper.socket com.quillmere.helper.service\n';

    it('runs the removal and resolves true', async () => {
      assert.equal(await client.uninstallHelper(), true);
      assert.equal(fs.readFileSync(sandbox.hostPath('/run/systemctl.calls'), 'utf8'), removal);
    });

    it('rejects as interrupted when the removal stops the helper before it replies', async () => {
      fs.writeFileSync(sandbox.hostPath('/run/systemctl.stops-helper'), '');
      const generation = sandbox.generation();
      await assert.rejects(client.uninstallHelper(), { code: HelperErrorCode.INTERRUPTED, sent: true });
      assert.equal(fs.readFileSync(sandbox.hostPath('/run/systemctl.calls'), 'utf8'), removal.repeat(2));
      await sandbox.waitForGeneration(generation + 1);
    });
  });
});
