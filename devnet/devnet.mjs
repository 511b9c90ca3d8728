// Command line of the devnet: starts it, prints the start line (one line of
// JSON) on standard output, and stops on SIGTERM, SIGINT, POST /control/stop
// or when its lifetime is over. Run `devnet/start --help` for the options.
import { DEFAULTS, startDevnet } from './lib/devnet.mjs'

const USAGE = `usage: devnet/start [options]
  --dir DIR                 folder for the CA, log and keys (default: a temporary folder, removed at stop)
  --state FILE              load the chain, registry and keys from FILE when it exists; save them there
  --lifetime SECONDS        stop by itself after this long (default ${DEFAULTS.lifetime}; 0 never)
  --mine-interval SECONDS   mine a block this often (default 0: only on request)
  --min-fee-rate SATS_PER_KB  lowest fee rate taken (default ${DEFAULTS.minFeeRate})
  --page-size N             items per page of the paged chain API lists (default ${DEFAULTS.pageSize})
  --truncate-bytes N        chain API cuts output scripts longer than this (default ${DEFAULTS.truncateBytes}; 0 never)
  --https-port N            HTTPS port (default: a free one)
  --control-port N          control port (default: a free one)
  --published-version V     version named by the download page (default ${DEFAULTS.publishedVersion})
  --gbp N                   price of one BSV in pounds in the rate file (default ${DEFAULTS.gbp})
  --host-ROLE NAME          host name played for ROLE: service, service-www, paymail-domain, chain, arc,
                            ordinals, download, external-paymail
  --keep                    keep the temporary folder at stop
  --verbose                 copy the log to standard error`

function parseArgs(argv) {
  const options = { hosts: {} }
  const numbers = { '--lifetime': 'lifetime', '--mine-interval': 'mineInterval', '--min-fee-rate': 'minFeeRate', '--page-size': 'pageSize', '--truncate-bytes': 'truncateBytes', '--https-port': 'httpsPort', '--control-port': 'controlPort', '--gbp': 'gbp' }
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i]
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${arg} needs a value`)
      return argv[++i]
    }
    if (arg === '--help' || arg === '-h') {
      process.stdout.write(USAGE + '\n')
      process.exit(0)
    } else if (numbers[arg]) {
      const v = Number(value())
      if (!Number.isFinite(v) || v < 0) throw new Error(`${arg} needs a number of at least 0`)
      options[numbers[arg]] = v
    } else if (arg === '--dir') options.dir = value()
    else if (arg === '--state') options.state = value()
    else if (arg === '--published-version') options.publishedVersion = value()
    else if (arg === '--keep') options.keep = true
    else if (arg === '--verbose') options.verbose = true
    else if (arg.startsWith('--host-')) {
      const role = arg.slice('--host-'.length).replace(/-/g, '_')
      if (!(role in DEFAULTS.hosts)) throw new Error(`unknown host role ${role}`)
      options.hosts[role] = value().toLowerCase()
    } else throw new Error(`unknown option ${arg}`)
  }
  return options
}

let options
try {
  options = parseArgs(process.argv.slice(2))
} catch (e) {
  process.stderr.write(`devnet: ${e.message}\n${USAGE}\n`)
  process.exit(2)
}

let devnet
try {
  devnet = await startDevnet(options)
} catch (e) {
  process.stderr.write(`devnet: could not start: ${e.message}\n`)
  process.exit(1)
}
process.stdout.write(JSON.stringify(devnet.info) + '\n')
for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) process.on(signal, () => devnet.stop(signal))
const reason = await devnet.done
process.stderr.write(`devnet: stopped (${reason})\n`)
process.exit(0)
