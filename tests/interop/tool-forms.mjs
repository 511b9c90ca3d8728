// kestrel-tool's wallet commands in the forms scripts rely on: the members
// of each answer, the exit codes, and one line on standard error for a fault.
// Values come from @bsv/sdk.
//
// usage: node tool-forms.mjs KESTREL_TOOL
import { BSM, ECIES, HD, Mnemonic, PrivateKey, Transaction } from '@bsv/sdk'
import { spawnSync } from 'node:child_process'
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'
import { checker, keyHex, p2pkh, toHex } from './common.mjs'

const tool = process.argv[2]
const check = checker('tool-forms')
const folder = mkdtempSync(join(tmpdir(), 'kestrel-tool-forms-'))
const env = { ...process.env, LOCALAPPDATA: folder }

function run (...args) {
  const r = spawnSync(tool, args, { encoding: 'utf8', env })
  let json = null
  try { json = JSON.parse(r.stdout) } catch (e) {}
  return { status: r.status, json, stdout: r.stdout, stderr: r.stderr }
}
const keysOf = (o) => Object.keys(o ?? {}).sort().join(',')
function refused (r, what) {
  check.equal(r.status, 1, `${what}: exit code`)
  check.equal(r.stdout ?? '', '', `${what}: nothing on standard output`)
  check.ok(r.stderr.trim() !== '' && r.stderr.trim().split('\n').length === 1, `${what}: one error line, got ${r.stderr}`)
}

try {
  const phrase = 'legal winner thank year wave sausage worth useful legal winner thank yellow'
  const master = HD.fromSeed(new Mnemonic(phrase).toSeed())
  const receive = master.derive("m/44'/236'/1'/0/0")
  const identity = master.derive("m/44'/236'/100'/0/0")

  let r = run('derive', '--phrase', phrase, '--path', "m/44'/236'/1'/0/0")
  check.equal(r.status, 0, 'derive exit code')
  check.equal(keysOf(r.json), 'address,priv,pub', 'derive members')
  check.equal(r.json?.priv, keyHex(receive.privKey), 'derive priv')
  check.equal(r.json?.pub, receive.pubKey.toString(), 'derive pub')
  check.equal(r.json?.address, receive.pubKey.toAddress(), 'derive address')
  refused(run('derive', '--phrase', 'legal winner thank', '--path', "m/44'/236'/1'/0/0"), 'derive of 3 words')
  refused(run('derive', '--phrase', phrase), 'derive without --path')

  r = run('address', '--pub', receive.pubKey.toString())
  check.equal(JSON.stringify(r.json), JSON.stringify({ address: receive.pubKey.toAddress() }), 'address')
  refused(run('address', '--pub', '02abcd'), 'address of a short key')

  r = run('decode-address', '--address', receive.pubKey.toAddress())
  check.equal(r.json?.hash160, toHex(receive.pubKey.toHash()), 'decode-address')
  refused(run('decode-address', '--address', '3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy'), 'decode-address of a script hash')

  r = run('sign-message', '--priv', keyHex(receive.privKey), '--message', 'hello')
  check.equal(keysOf(r.json), 'signature', 'sign-message members')
  refused(run('sign-message', '--priv', 'zz', '--message', 'hello'), 'sign-message with a bad key')

  const key = PrivateKey.fromHex('11'.repeat(32))
  const lock = toHex(p2pkh(key.toPublicKey().toHash()))
  const description = {
    inputs: [{ txid: 'ab'.repeat(32), vout: 1, sats: 5000, script: lock, priv: '11'.repeat(32) }],
    outputs: [{ sats: 1, script: lock }, { sats: 0, script: '006a0568656c6c6f' }]
  }
  const txFile = join(folder, 'tx.json')
  writeFileSync(txFile, JSON.stringify(description))
  r = run('sighash', '--file', txFile)
  check.equal(keysOf(r.json), 'sighash', 'sighash members')
  check.ok(Array.isArray(r.json?.sighash) && /^[0-9a-f]{64}$/.test(r.json.sighash[0]), 'sighash list')
  r = run('sign-tx', '--file', txFile)
  check.equal(keysOf(r.json), 'hex,txid', 'sign-tx members')
  check.equal(r.json && Transaction.fromHex(r.json.hex).id('hex'), r.json?.txid, 'sign-tx txid')
  const signed = r.json?.hex ?? ''
  r = run('txid', '--hex', signed)
  check.equal(r.json?.txid, Transaction.fromHex(signed).id('hex'), 'txid')
  refused(run('txid', '--hex', signed.slice(0, -2)), 'txid of a cut transaction')
  writeFileSync(txFile, '{"inputs": [')
  refused(run('sign-tx', '--file', txFile), 'sign-tx of broken JSON')
  refused(run('sighash', '--file', join(folder, 'missing.json')), 'sighash of a missing file')

  const hdFile = join(folder, 'hd.json')
  writeFileSync(hdFile, JSON.stringify({ version: 2, mnemonic: phrase, recv: [0, 0, 0, 0, 0, 0], show: 0 }))
  r = run('wallet-info', '--file', hdFile)
  check.equal(r.status, 0, 'wallet-info exit code')
  for (const k of ['mode', 'locked', 'receive', 'identity', 'identity_pub', 'greeting']) check.ok(k in (r.json ?? {}), `wallet-info has ${k}`)
  check.equal(r.json?.mode, 'hd', 'wallet-info mode')
  check.equal(r.json?.locked, false, 'wallet-info locked')
  check.equal(r.json?.receive, receive.pubKey.toAddress(), 'wallet-info receive')
  check.equal(r.json?.identity, identity.pubKey.toAddress(), 'wallet-info identity')
  check.equal(r.json?.identity_pub, identity.pubKey.toString(), 'wallet-info identity_pub')
  check.equal(r.json?.greeting, master.derive("m/44'/236'/103'/0/0").pubKey.toAddress(), 'wallet-info greeting')
  check.equal(r.json?.bn, master.derive("m/44'/236'/102'/0/0").pubKey.toAddress(), 'wallet-info bn')

  const legacyFile = join(folder, 'legacy.json')
  writeFileSync(legacyFile, JSON.stringify({ priv: '11'.repeat(32) }))
  r = run('wallet-info', '--file', legacyFile)
  check.equal(r.json?.mode, 'legacy', 'legacy mode')
  check.equal(r.json?.receive, key.toAddress(), 'legacy receive')

  const lockedFile = join(folder, 'locked.json')
  writeFileSync(lockedFile, JSON.stringify({ lock: 'CV-LOCK1', kdf: 'pbkdf2-sha256', ct: '00' }))
  r = run('wallet-info', '--file', lockedFile)
  check.equal(r.status, 0, 'locked wallet-info exit code')
  check.equal(JSON.stringify(r.json), '{"locked":true}', 'locked wallet-info')
  writeFileSync(hdFile + '.seal', JSON.stringify({ lock: 'CV-LOCK1' }))
  r = run('wallet-info', '--file', hdFile)
  check.equal(JSON.stringify(r.json), '{"locked":true}', 'sealed wallet-info')

  const badFile = join(folder, 'bad.json')
  writeFileSync(badFile, '{"mnemonic": "legal winner thank"}')
  refused(run('wallet-info', '--file', badFile), 'wallet-info of a bad phrase')
  refused(run('wallet-info', '--file', join(folder, 'none.json')), 'wallet-info of a missing file')

  // The record forms: seal, open, verify-message --pub, canonical, sign-identity.
  const idPriv = keyHex(identity.privKey)
  const idPub = identity.pubKey.toString()
  r = run('seal', '--pub', idPub, '--text', 'hello ☎')
  check.equal(r.status, 0, 'seal exit code')
  check.equal(keysOf(r.json), 'sealed', 'seal members')
  let opened = ''
  try { opened = Buffer.from(ECIES.electrumDecrypt([...Buffer.from(r.json.sealed, 'hex')], identity.privKey)).toString('utf8') } catch (e) {}
  check.equal(opened, 'hello ☎', 'seal opens with the SDK')
  const sdkSealed = Buffer.from(ECIES.electrumEncrypt([...Buffer.from('from the SDK', 'utf8')], identity.pubKey)).toString('hex')
  r = run('open', '--priv', idPriv, '--sealed', sdkSealed)
  check.equal(r.status, 0, 'open exit code')
  check.equal(JSON.stringify(r.json), JSON.stringify({ text: 'from the SDK' }), 'open')
  refused(run('open', '--priv', keyHex(receive.privKey), '--sealed', sdkSealed), 'open with another key')
  refused(run('open', '--priv', idPriv, '--sealed', sdkSealed.slice(0, 168)), 'open of 84 bytes')
  refused(run('seal', '--pub', '02abcd', '--text', 'x'), 'seal to a short key')

  const signature = BSM.sign([...Buffer.from('signed', 'utf8')], identity.privKey, 'base64')
  r = run('verify-message', '--pub', idPub, '--message', 'signed', '--signature', signature)
  check.equal(r.status, 0, 'verify-message --pub exit code')
  check.equal(JSON.stringify(r.json), '{"valid":true}', 'verify-message --pub')
  r = run('verify-message', '--pub', idPub, '--message', 'signed!', '--signature', signature)
  check.equal(JSON.stringify(r.json), '{"valid":false}', 'verify-message --pub of another message')

  const signerFile = join(folder, 'signer.json')
  writeFileSync(signerFile, JSON.stringify({ version: 2, mnemonic: phrase, recv: [0, 0, 0, 0, 0, 0], show: 0 }))
  r = run('sign-identity', '--wallet', signerFile, '--message', 'signed')
  check.equal(keysOf(r.json), 'pubkey,signature', 'sign-identity members')
  check.equal(r.json?.pubkey, idPub, 'sign-identity key is the identity key')
  r = run('verify-message', '--pub', idPub, '--message', 'signed', '--signature', r.json?.signature ?? '')
  check.equal(JSON.stringify(r.json), '{"valid":true}', 'sign-identity verifies')
  refused(run('sign-identity', '--wallet', legacyFile, '--message', 'x'), 'sign-identity with a single-key wallet')
  refused(run('sign-identity', '--wallet', hdFile, '--message', 'x'), 'sign-identity with a locked wallet')

  const recordFile = join(folder, 'record.json')
  writeFileSync(recordFile, JSON.stringify({ type: 'cp', location: 'CPhone', handle: '@Alice', actor: 'alice', ts: '17', kind: 'hangup', id: '0123456789abcdef' }))
  r = run('canonical', '--file', recordFile)
  check.equal(JSON.stringify(r.json), JSON.stringify({ text: 'CV1|cp|cphone|alice|alice|17|hangup|0123456789abcdef|0|||0|e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855' }), 'canonical')
  refused(run('canonical', '--file', badFile + '.none'), 'canonical of a missing file')

  r = spawnSync(tool, ['--help'], { encoding: 'utf8', env })
  for (const name of ['derive', 'address', 'decode-address', 'sign-message', 'sighash', 'sign-tx', 'txid', 'wallet-info',
    'sign-identity', 'verify-message', 'canonical', 'sign-record', 'verify-record', 'seal', 'open']) {
    check.ok(r.stdout.includes(`  ${name} `), `--help lists ${name}`)
  }
} finally {
  rmSync(folder, { recursive: true, force: true })
}
check.finish()
