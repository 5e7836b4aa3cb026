'use strict';

// `npm pack` makes a package that installs into an empty project, where the README's example
// runs against the real helper in the sandbox.

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { Sandbox, unavailableReason } = require('./support/Sandbox');

const packageDirectory = path.resolve(__dirname, '..');
const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';

function run(command, args, options) {
  const result = spawnSync(command, args, { encoding: 'utf8', timeout: 120_000, ...options });
  assert.equal(result.status, 0, `${command} ${args.join(' ')}: ${result.error ?? ''}${result.stderr}`);
  return result.stdout;
}

// The README's first JavaScript example.
function readmeExample() {
  const readme = fs.readFileSync(path.join(packageDirectory, 'README.md'), 'utf8');
  const example = /```js\n([\s\S]*?)```/.exec(readme);
  assert.ok(example, 'README.md has no js example');
  return example[1];
}

describe('the packed package', () => {
  let directory;
  let tarball;
  before(() => {
    directory = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmere-pack-'));
    const [packed] = JSON.parse(
      run(npm, ['pack', '--json', '--pack-destination', directory], {
        cwd: packageDirectory,
        env: { ...process.env, npm_config_cache: path.join(directory, 'npm-cache'), npm_config_update_notifier: 'false' },
      }),
    );
    tarball = path.join(directory, packed.filename);
  });
  after(() => fs.rmSync(directory, { recursive: true, force: true }));

  it('holds the library, its declarations and README, and nothing of the tests', () => {
    const files = run('tar', ['-tzf', tarball]).split('\n').filter(Boolean).sort();
    assert.deepEqual(files, [
      'package/README.md',
      'package/index.d.ts',
      'package/index.js',
      'package/lib/HelperClient.js',
      'package/lib/HelperConnection.js',
      'package/lib/HelperError.js',
      'package/lib/MessageFramer.js',
      'package/lib/Text.js',
      'package/package.json',
    ]);
  });

  const skip = unavailableReason() ?? false;
  describe('installed into an empty project', { skip }, () => {
    let sandbox;
    before(async () => {
      sandbox = await Sandbox.start();
    });
    after(() => sandbox?.stop());

    it("runs the README's example against the sandboxed helper", () => {
      // The project lives in the sandbox's own /run, so the example finds the helper at its
      // fixed path and nothing is left on the host.
      const project = sandbox.hostPath('/run/app');
      fs.mkdirSync(project);
      fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', private: true }));
      fs.copyFileSync(tarball, path.join(project, path.basename(tarball)));
      fs.writeFileSync(path.join(project, 'example.js'), readmeExample());
      const inside = (command) => {
        const result = sandbox.runInside(['/bin/sh', '-c', `cd /run/app && ${command}`], {
          env: { ...process.env, npm_config_cache: '/run/app/.npm-cache', npm_config_update_notifier: 'false' },
        });
        assert.equal(result.status, 0, `${command}: ${result.stderr}`);
        return result.stdout;
      };
      inside(`npm install --offline --no-audit --no-fund ./${path.basename(tarball)}`);
      assert.equal(inside(`${process.execPath} example.js`), 'Helper version: 1.0.0\nSUCCESS: root\n');
    });
  });
});
