'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');

const helperBinary = process.env.QUILLMERE_HELPER_BINARY;
const insideSocket = '/run/com.quillmere.helper.sock';
const insideLog = '/run/quillmere-helper.log';
const insidePid = '/run/quillmere-helper.pid';
const insideGeneration = '/run/quillmere-socket.generation';

// The sandbox's start-up: private /run and /tmp, the built helper copied in (the build may live
// under the host's /tmp), and a stand-in for the socket unit: systemd-socket-activate starts the
// helper on the first connection and the loop puts the socket up again once the helper ended.
// The socket is open to everyone, so that the helper's own refusal of a peer can be seen.
const startup = `set -e
mount --make-rprivate /
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir /run/quillmere-sandbox
cp "$1" /run/quillmere-sandbox/quillmere-helper
# A stand-in for systemctl that records its arguments and, when asked to, stops the helper that
# started it, as systemd stopping the service would.
cat > /run/quillmere-sandbox/systemctl <<'STANDIN'
#!/bin/sh
echo "$*" >> /run/systemctl.calls
if [ -e /run/systemctl.stops-helper ]; then kill -KILL $PPID; fi
STANDIN
chmod 0755 /run/quillmere-sandbox/systemctl
mount --bind /run/quillmere-sandbox/systemctl /bin/systemctl
mount -t tmpfs -o mode=1777 tmpfs /tmp
(
  generation=0
  while :; do
    rm -f ${insideSocket}
    systemd-socket-activate -l ${insideSocket} /run/quillmere-sandbox/quillmere-helper 2>>${insideLog} &
    activator=$!
    echo $activator > ${insidePid}
    while [ ! -S ${insideSocket} ] && kill -0 $activator 2>/dev/null; do sleep 0.01; done
    [ -S ${insideSocket} ] || exit 1
    chmod 0666 ${insideSocket}
    generation=$((generation + 1))
    echo $generation > ${insideGeneration}
    wait $activator || true
  done
) &
while [ ! -e ${insideGeneration} ]; do sleep 0.01; done
echo sandbox-ready >&2
exec sleep infinity
`;

// Why the real-daemon tests cannot run here, or null when they can.
function unavailableReason() {
  if (process.getuid() !== 0) return 'the sandboxed helper needs root (CI runs these tests as root)';
  if (!helperBinary) return 'QUILLMERE_HELPER_BINARY is not set (the build sets it: ctest -R NodeClient)';
  if (!fs.existsSync(helperBinary)) return `QUILLMERE_HELPER_BINARY names no file: ${helperBinary}`;
  const probe = spawnSync('unshare', ['--mount', '--pid', '--fork', 'true']);
  if (probe.status !== 0) return 'the sandboxed helper needs mount and PID namespaces (unshare failed)';
  return null;
}

async function waitUntil(condition, what, patienceMs = 10_000) {
  const deadline = Date.now() + patienceMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`gave up waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// The built quillmere-helper in its own mount and PID namespaces, socket-activated as systemd
// would; nothing it does reaches the host's files or processes.
class Sandbox {
  static async start() {
    const child = spawn(
      'unshare',
      ['--mount', '--pid', '--fork', '--kill-child=SIGKILL', '/bin/sh', '-c', startup, 'sandbox', helperBinary],
      { stdio: ['ignore', 'inherit', 'pipe'] },
    );
    const sandbox = new Sandbox(child);
    let errors = '';
    await new Promise((resolve, reject) => {
      child.stderr.on('data', (chunk) => {
        errors += chunk;
        if (errors.includes('sandbox-ready')) resolve();
      });
      child.on('exit', () => reject(new Error(`the sandbox did not start: ${errors}`)));
    });
    const children = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8');
    sandbox.initPid = Number(children.trim().split(/\s+/)[0]);
    return sandbox;
  }

  constructor(child) {
    this.child = child;
    this.initPid = 0; // the sandbox's PID 1, as the host numbers it
  }

  // A path inside the sandbox as the host reaches it.
  hostPath(insidePath) {
    return `/proc/${this.initPid}/root${insidePath}`;
  }

  get socketPath() {
    return this.hostPath(insideSocket);
  }

  log() {
    try {
      return fs.readFileSync(this.hostPath(insideLog), 'utf8');
    } catch {
      return '';
    }
  }

  async waitForLog(pattern) {
    await waitUntil(() => pattern.test(this.log()), `a log line matching ${pattern}`);
  }

  // How often the stand-in socket unit has put its socket up.
  generation() {
    return Number(fs.readFileSync(this.hostPath(insideGeneration), 'utf8'));
  }

  async waitForGeneration(count) {
    await waitUntil(() => this.generation() >= count, `socket generation ${count}`);
  }

  // Runs `argv` in the sandbox's mount namespace (its /run, so the helper at the fixed path).
  runInside(argv, options = {}) {
    return spawnSync('nsenter', [`--target=${this.initPid}`, '--mount', '--', ...argv], {
      encoding: 'utf8',
      timeout: 60_000,
      ...options,
    });
  }

  // Kills the running helper; the stand-in socket unit then listens again.
  killHelper() {
    const killed = spawnSync(
      'nsenter',
      [`--target=${this.initPid}`, '--mount', '--pid', '--', '/bin/sh', '-c', `kill -KILL "$(cat ${insidePid})"`],
      { encoding: 'utf8' },
    );
    if (killed.status !== 0) throw new Error(`could not kill the helper: ${killed.stderr}`);
  }

  async stop() {
    if (this.child.exitCode !== null || this.child.signalCode !== null) return;
    const exited = new Promise((resolve) => this.child.on('exit', resolve));
    this.child.kill('SIGKILL');
    await exited;
  }
}

module.exports = { Sandbox, unavailableReason };
