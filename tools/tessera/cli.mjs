// The "tessera" command line: one entry per command with its usage, help
// text, options and action. Results are one line of JSON on stdout; a
// failure is one line on stderr and a non-zero exit (1 for a failed action,
// 2 for a command line that cannot be understood).

import { parseArgs } from 'node:util'
import { announce, answerPending, watchRequests } from './connect.mjs'
import { dataFolderPath } from './files.mjs'
import {
  addWallet, chooseListedWallet, listWallets, lockWallet, plainWallet, unlockWallet
} from './wallets.mjs'

// Key work needs @bsv/sdk, which takes longer to load than most commands run.
const keys = () => import('./keys.mjs')

const COMMANDS = [
  {
    name: 'create',
    usage: 'tessera create [--name NAME] [--paymail ALIAS] [--phrase "WORDS"]',
    summary: 'make a new phrase wallet and register it',
    help: `Makes a wallet from a fresh 12-word recovery phrase (or the one given with
--phrase, which must be 12 English BIP-39 words with a valid checksum),
writes wallets/<id>/wallet.json and adds {"id", "name"} to wallets.json.
--name is the name shown to the user (default: the paymail alias, else
"Wallet N"); --paymail stores the wallet's paymail alias (letters, numbers,
_ - .; an "@domain" part is dropped).
Prints {"id": ID, "receive": ADDRESS, "identity": ADDRESS}.`,
    options: { name: { type: 'string' }, paymail: { type: 'string' }, phrase: { type: 'string' } },
    run: create
  },
  {
    name: 'import-key',
    usage: 'tessera import-key --priv HEX [--name NAME] [--paymail ALIAS]',
    summary: 'register a single-key wallet',
    help: `Makes a single-key wallet from a 64-hex-digit private key (it has no phrase,
so no identity or greeting key) and registers it like create.
Prints {"id": ID, "receive": ADDRESS}.`,
    options: { priv: { type: 'string' }, name: { type: 'string' }, paymail: { type: 'string' } },
    required: ['priv'],
    run: importKey
  },
  {
    name: 'list',
    usage: 'tessera list',
    summary: 'list the registered wallets',
    help: `Prints {"wallets": [{"id", "name", "active", "state", "paymail"}], "active": ID}.
state is "hd", "key", "locked", "missing" or "unreadable".`,
    options: {},
    run: list
  },
  {
    name: 'address',
    usage: 'tessera address [--wallet ID]',
    summary: "show a wallet's addresses",
    help: `Derives the addresses of a wallet (default: the active wallet, else the
first): receive (m/44'/236'/1'/0/show), identity (m/44'/236'/100'/0/0),
greeting (m/44'/236'/103'/0/0), ordinals (m/44'/236'/5'/0/recv[5]) and the
identity public key. A single-key wallet has only a receive address.
Prints {"id", "kind", "receive", "identity", "greeting", "ordinals", "identity_pubkey"}.`,
    options: { wallet: { type: 'string' } },
    run: address
  },
  {
    name: 'approve',
    usage: 'tessera approve [--wallet ID]',
    summary: 'approve every pending connect request',
    help: `Answers every request in connect/ that has no reply yet with
{"ok": true, "wallet_id": ID}, for --wallet or else the active wallet, else
the first. Requests that do not parse yet are left alone (listed as skipped).
Prints {"answered": [{"id", "app", "instance", "ok", "wallet_id"}], "skipped": [ID]}.`,
    options: { wallet: { type: 'string' } },
    run: (values) => answerOnce(values, true)
  },
  {
    name: 'deny',
    usage: 'tessera deny',
    summary: 'deny every pending connect request',
    help: `Answers every request in connect/ that has no reply yet with {"ok": false}.
Prints {"answered": [{"id", "app", "instance", "ok"}], "skipped": [ID]}.`,
    options: {},
    run: (values) => answerOnce(values, false)
  },
  {
    name: 'watch',
    usage: 'tessera watch --approve|--deny [--wallet ID] [--once] [--timeout SECONDS]',
    summary: 'answer connect requests as they come',
    help: `Looks for new connect requests ten times a second and answers each like
approve or deny, printing one JSON line per answer, until stopped (SIGINT or
SIGTERM), until --timeout SECONDS pass, or with --once after the first
answers. With --once a timeout without any request is a failure.`,
    options: {
      approve: { type: 'boolean' },
      deny: { type: 'boolean' },
      wallet: { type: 'string' },
      once: { type: 'boolean' },
      timeout: { type: 'string' }
    },
    run: watch
  },
  {
    name: 'lock',
    usage: 'tessera lock --wallet ID --password TEXT [--seal]',
    summary: 'lock a wallet file with a password',
    help: `Replaces wallets/<id>/wallet.json with a "CV-LOCK1" envelope (PBKDF2-SHA256,
210000 iterations, AES-256-GCM). With --seal the plain file stays and the
envelope is written to wallet.json.seal, which also marks the wallet locked.
Prints {"id", "locked": true, "file"}.`,
    options: { wallet: { type: 'string' }, password: { type: 'string' }, seal: { type: 'boolean' } },
    required: ['wallet', 'password'],
    run: (values) => lockWallet(values.wallet, values.password, values.seal === true)
  },
  {
    name: 'unlock',
    usage: 'tessera unlock --wallet ID --password TEXT',
    summary: 'unlock a locked wallet file',
    help: `Decrypts the wallet's envelope back to the plain wallet.json and removes a
wallet.json.seal companion. A wrong password fails and changes nothing.
Prints {"id", "locked": false}.`,
    options: { wallet: { type: 'string' }, password: { type: 'string' } },
    required: ['wallet', 'password'],
    run: (values) => unlockWallet(values.wallet, values.password)
  }
]

// Runs one command line; answers the exit status.
export async function main (argv) {
  const [name, ...rest] = argv
  if (name === undefined || name === '--help' || name === '-h' || name === 'help') {
    const topic = name === 'help' ? COMMANDS.find((command) => command.name === rest[0]) : undefined
    process.stdout.write(topic ? commandHelp(topic) : overview())
    return 0
  }
  const command = COMMANDS.find((entry) => entry.name === name)
  if (!command) return usageError('unknown command "' + name + '" (see tessera --help)')
  let values
  try {
    ({ values } = parseArgs({
      args: rest,
      options: { ...command.options, help: { type: 'boolean', short: 'h' } },
      strict: true,
      allowPositionals: false
    }))
  } catch (err) {
    return usageError(err.message + ' (usage: ' + command.usage + ')')
  }
  if (values.help) {
    process.stdout.write(commandHelp(command))
    return 0
  }
  const missing = (command.required || []).filter((option) => values[option] === undefined || values[option] === '')
  if (missing.length > 0) return usageError('missing --' + missing.join(', --') + ' (usage: ' + command.usage + ')')
  try {
    const result = await command.run(values)
    if (result !== undefined) printJson(result)
    return 0
  } catch (err) {
    if (err instanceof UsageError) return usageError(err.message + ' (usage: ' + command.usage + ')')
    process.stderr.write('tessera: ' + oneLine(err.message) + '\n')
    return 1
  }
}

async function create (values) {
  const { newPhrase, normalisePhrase, phraseWalletFile } = await keys()
  let phrase = newPhrase()
  if (values.phrase !== undefined) {
    phrase = normalisePhrase(values.phrase)
    if (phrase === null) throw new Error('the phrase must be 12 English BIP-39 words with a valid checksum')
  }
  const wallet = phraseWalletFile(phrase, paymailAlias(values.paymail))
  const { id } = await addWallet(wallet, values.name)
  return { id, receive: wallet.address, identity: wallet.identity }
}

async function importKey (values) {
  const { privateKeyFromHex, singleKeyWalletFile } = await keys()
  const key = privateKeyFromHex(values.priv)
  if (key === null) throw new Error('--priv must be 64 hex digits of a valid secp256k1 private key')
  const wallet = singleKeyWalletFile(key, paymailAlias(values.paymail))
  const { id } = await addWallet(wallet, values.name)
  return { id, receive: wallet.address }
}

async function list () {
  return listWallets()
}

async function address (values) {
  const { walletAddresses } = await keys()
  const id = await chooseListedWallet(values.wallet)
  return { id, ...walletAddresses(plainWallet(id)) }
}

async function answerOnce (values, approve) {
  return answerPending(() => (approve ? chooseListedWallet(values.wallet) : null))
}

async function watch (values) {
  if (values.approve === values.deny) throw new UsageError('give exactly one of --approve and --deny')
  if (values.deny && values.wallet !== undefined) throw new UsageError('--wallet goes with --approve')
  let timeoutMs = null
  if (values.timeout !== undefined) {
    const seconds = Number(values.timeout)
    if (!Number.isFinite(seconds) || seconds < 0) throw new UsageError('--timeout takes a number of seconds')
    timeoutMs = seconds * 1000
  }
  if (values.approve) await chooseListedWallet(values.wallet)
  let stop = false
  const onSignal = () => { stop = true }
  process.once('SIGINT', onSignal)
  process.once('SIGTERM', onSignal)
  let lastProblem = ''
  // A window-less stand-in has nothing to bring forward: it says so on stdout.
  const announcement = await announce(() => printJson({ raised: true }))
  const count = await watchRequests({
    walletOf: () => (values.approve ? chooseListedWallet(values.wallet) : null),
    once: values.once === true,
    timeoutMs,
    intervalMs: 100,
    stopped: () => stop,
    onAnswer: printJson,
    onProblem: (message) => {
      if (message !== lastProblem) process.stderr.write('tessera: ' + oneLine(message) + '\n')
      lastProblem = message
    }
  })
  if (announcement) announcement.close()
  process.off('SIGINT', onSignal)
  process.off('SIGTERM', onSignal)
  if (values.once && count === 0 && !stop) throw new Error('no connect request within ' + values.timeout + ' seconds')
  return undefined
}

// The wallet's paymail alias as stored: trimmed, without leading "@" or "$"
// and without an "@domain" part, lower-cased; empty when not given.
function paymailAlias (text) {
  if (text === undefined) return ''
  const alias = text.trim().replace(/^[@$]+/, '').split('@')[0].toLowerCase()
  if (alias === '') return ''
  if (!/^[a-z0-9_.-]+$/.test(alias)) throw new Error('need a paymail name (letters, numbers, _ - .)')
  return alias
}

class UsageError extends Error {}

function usageError (message) {
  process.stderr.write('tessera: ' + oneLine(message) + '\n')
  return 2
}

function printJson (value) {
  process.stdout.write(JSON.stringify(value) + '\n')
}

function oneLine (text) {
  return String(text).replace(/\s*\n\s*/g, ' ')
}

function overview () {
  const width = Math.max(...COMMANDS.map((command) => command.name.length))
  const lines = COMMANDS.map((command) => '  ' + command.name.padEnd(width + 2) + command.summary)
  return `tessera: a stand-in for the Tessera wallet application. It keeps wallets in
the Corvane data folder (now ${dataFolderPath()}) and answers the connect
requests of Kestrel and the other Corvane apps.

usage: tessera COMMAND [OPTIONS]    (tessera COMMAND --help for details)

${lines.join('\n')}

Results are one line of JSON on stdout; errors are one line on stderr with a
non-zero exit status (1 failed, 2 bad command line).
`
}

function commandHelp (command) {
  return 'usage: ' + command.usage + '\n\n' + command.help + '\n'
}
