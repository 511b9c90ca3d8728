// The paymail side: signed claims and phone records on the service host, its
// lookups, the external paymail host (capabilities, destinations, received
// transactions) and the download site.
import assert from 'node:assert/strict'
import { createHash } from 'node:crypto'
import { describe, it } from 'node:test'
import { BSM, BigNumber, ECDSA, PrivateKey } from '@bsv/sdk'
import { buildTx, devnetForFile, fundedKey } from './helpers.mjs'

const { info, host, control } = await devnetForFile()
const domain = info.hosts.paymail_domain

// Identity signatures as the client makes them: r||s (64 bytes) over the
// signed-message digest; also the SDK's 65-byte compact form, and the
// client's fallback over the single SHA-256 of the message.
function identitySign(message, key, form = 'rs') {
  const bytes = Buffer.from(message, 'utf8')
  if (form === 'compact') return BSM.sign([...bytes], key, 'base64')
  const sig = form === 'sha256' ? ECDSA.sign(new BigNumber([...createHash('sha256').update(bytes).digest()]), key, true) : BSM.sign([...bytes], key, 'raw')
  return Buffer.concat([Buffer.from(sig.r.toArray('be', 32)), Buffer.from(sig.s.toArray('be', 32))]).toString('base64')
}

function claimMessage(c) {
  let text = `CV-PAYMAIL-CLAIM|${c.alias}|${c.pubkey}|${c.address}|${c.avatar}|`
  if (c.bnPub && c.bnAddress) text += `${c.ordAddress ?? ''}|${c.bnPub}|${c.bnAddress}|`
  else if (c.ordAddress) text += `${c.ordAddress}|`
  return text + c.ts
}

function makeClaim(alias, key, extra = {}, form = 'rs', signer = key) {
  const c = { alias, pubkey: key.toPublicKey().toString(), address: key.toAddress(), avatar: '', ts: 1_700_000_000, ...extra }
  return { ...c, sig: identitySign(claimMessage(c), signer, form) }
}

function makePhone(alias, key, extra = {}, signer = key) {
  const r = { alias, greetAddress: '', phoneFee: 2, pubkey: key.toPublicKey().toString(), ts: 1_700_000_000, ...extra }
  return { ...r, sig: identitySign(`CV-PAYMAIL-PHONE|${r.alias}|${r.pubkey}|${r.greetAddress}|${r.phoneFee}|${r.ts}`, signer) }
}

const claim = body => host('service', 'POST', '/api/paymail/claim', body)
const phone = body => host('service', 'POST', '/api/paymail/phone', body)
const lookup = (kind, paymail) => host('service', 'GET', `/api/bsvalias/${kind}/${paymail}`)

describe('claims', () => {
  it('takes a signed claim; then address, identity and profile answer for it', async () => {
    const key = PrivateKey.fromRandom()
    const answer = await claim(makeClaim('alice', key))
    assert.equal(answer.status, 200, answer.text)
    assert.deepEqual((await lookup('address', `alice@${domain}`)).json, { address: key.toAddress(), handle: `alice@${domain}` })
    assert.equal((await lookup('id', `alice%40${domain}`)).json.pubkey, key.toPublicKey().toString())
    const profile = (await lookup('public-profile', `alice@${domain}`)).json
    assert.equal(profile.avatar, `https://${info.hosts.service}/avatars/alice.png`)
    const image = await host('service', 'GET', '/avatars/alice.png')
    assert.equal(image.headers['content-type'], 'image/png')
    assert.ok(image.body.subarray(1, 4).toString() === 'PNG' && image.body.length >= 16)
    assert.deepEqual((await host('service', 'GET', `/api/paymail/quota/${key.toPublicKey().toString()}`)).json, { pubkey: key.toPublicKey().toString(), role: 'default', used: 1, limit: 10 })
  })

  const accepted = [
    ['a 65-byte compact signature', {}, 'compact'],
    ['the SHA-256 fallback signature', {}, 'sha256'],
    ['an ordinals address', { ordAddress: PrivateKey.fromRandom().toAddress() }, 'rs'],
    ['a BN key and no ordinals address', { bnPub: PrivateKey.fromRandom().toPublicKey().toString(), bnAddress: PrivateKey.fromRandom().toAddress() }, 'rs'],
    ['an avatar', { avatar: 'https://img.example/a.png' }, 'rs']
  ]
  for (const [name, extra, form] of accepted) {
    it(`takes a claim with ${name}`, async () => {
      const key = PrivateKey.fromRandom()
      const alias = `u${createHash('sha256').update(name).digest('hex').slice(0, 8)}`
      const answer = await claim(makeClaim(alias, key, extra, form))
      assert.equal(answer.status, 200, answer.text)
      if (extra.avatar) assert.equal((await lookup('public-profile', `${alias}@${domain}`)).json.avatar, extra.avatar)
    })
  }

  it('refuses forged, stale, taken and malformed claims, and keeps the claim in force', async () => {
    const owner = PrivateKey.fromRandom()
    assert.equal((await claim(makeClaim('bob', owner, { ts: 1_700_000_100 }))).status, 200)
    const other = PrivateKey.fromRandom()
    const signedThenChanged = { ...makeClaim('bob', owner, { ts: 1_700_000_200 }), address: other.toAddress() }
    const cases = [
      ['signed by another key', makeClaim('bob', owner, { ts: 1_700_000_200 }, 'rs', other), 401],
      ['changed after signing', signedThenChanged, 401],
      ['a signature that is not Base64', { ...makeClaim('bob', owner), sig: 'not base64!' }, 401],
      ['a signature of the wrong length', { ...makeClaim('bob', owner), sig: Buffer.alloc(63, 1).toString('base64') }, 401],
      ['an alias owned by another key', makeClaim('bob', other, { ts: 1_700_000_200 }), 409],
      ['an older claim than the one in force', makeClaim('bob', owner, { ts: 1_700_000_000 }), 409],
      ['an alias with capitals', makeClaim('Bob', owner), 400],
      ['a pubkey in capitals', { ...makeClaim('bob', owner), pubkey: owner.toPublicKey().toString().toUpperCase() }, 400],
      ['an address that is not P2PKH', { ...makeClaim('bob', owner), address: '3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy' }, 400],
      ['a ts that is text', { ...makeClaim('bob', owner), ts: '1700000000' }, 400],
      ['no sig', { ...makeClaim('bob', owner), sig: undefined }, 400],
      ['an array', [makeClaim('bob', owner)], 400],
      ['text that is not JSON', '{"alias":', 400]
    ]
    for (const [name, body, status] of cases) {
      const answer = await claim(body)
      assert.equal(answer.status, status, `${name}: ${answer.text}`)
      assert.equal(typeof answer.json.error, 'string', name)
    }
    assert.equal((await lookup('address', `bob@${domain}`)).json.address, owner.toAddress())
    const { refusals } = (await control('GET', '/control/paymail')).json
    assert.ok(refusals.filter(r => r.kind === 'claim').length >= cases.length)
  })

  it('allows ten names per identity, more for an architect', async () => {
    const key = PrivateKey.fromRandom()
    for (let i = 0; i < 10; i++) assert.equal((await claim(makeClaim(`q${i}x`, key))).status, 200)
    const eleventh = await claim(makeClaim('q10x', key))
    assert.equal(eleventh.status, 403)
    assert.equal(eleventh.json.error, 'paymail quota reached (10 free labels per identity)')
    await control('POST', '/control/role', { pubkey: key.toPublicKey().toString(), role: 'architect' })
    assert.equal((await claim(makeClaim('q10x', key))).status, 200)
    assert.equal((await host('service', 'GET', `/api/paymail/quota/${key.toPublicKey().toString()}`)).json.role, 'architect')
  })

  it('answers 404 for an unknown alias or another domain', async () => {
    assert.equal((await lookup('address', `nobody@${domain}`)).status, 404)
    assert.equal((await lookup('id', 'alice@elsewhere.example')).status, 404)
  })
})

describe('phone records', () => {
  it('are taken only when signed by the key registered for the alias', async () => {
    const key = PrivateKey.fromRandom()
    assert.equal((await claim(makeClaim('carol', key))).status, 200)
    const greet = PrivateKey.fromRandom().toAddress()
    const ok = await phone(makePhone('carol', key, { phoneFee: 7, greetAddress: greet, ts: 1_700_000_050 }))
    assert.deepEqual([ok.status, ok.json], [200, { ok: true }])
    const doc = (await lookup('id', `carol@${domain}`)).json
    assert.equal(doc.phoneFee, 7)
    assert.equal(doc.greetAddress, greet)

    const stranger = PrivateKey.fromRandom()
    const cases = [
      ['signed by another key', makePhone('carol', key, { phoneFee: 9, ts: 1_700_000_060 }, stranger), 401],
      ['naming another key', makePhone('carol', stranger, { phoneFee: 9, ts: 1_700_000_060 }), 403],
      ['for an alias nobody claimed', makePhone('nobody', key), 404],
      ['with a fee of 0', makePhone('carol', key, { phoneFee: 0, ts: 1_700_000_060 }), 400],
      ['with a fee of 101', makePhone('carol', key, { phoneFee: 101, ts: 1_700_000_060 }), 400],
      ['with the fee as text', { ...makePhone('carol', key, { ts: 1_700_000_060 }), phoneFee: '5' }, 400],
      ['with a greeting address that is not one', makePhone('carol', key, { greetAddress: 'nope', ts: 1_700_000_060 }), 400],
      ['older than the one in force', makePhone('carol', key, { phoneFee: 9, ts: 1_700_000_000 }), 409],
      ['that is not JSON', 'phoneFee=9', 400]
    ]
    for (const [name, body, status] of cases) {
      const answer = await phone(body)
      assert.equal(answer.status, status, `${name}: ${answer.text}`)
      assert.equal(answer.json.ok, false, name)
    }
    assert.equal((await lookup('id', `carol@${domain}`)).json.phoneFee, 7)
    const { phoneRecords } = (await control('GET', '/control/paymail')).json
    assert.equal(phoneRecords.filter(r => r.alias === 'carol').length, 1)
  })

  it('can be set up through the control port with an alias', async () => {
    const made = (await control('POST', '/control/alias', { alias: 'dave', phoneFee: 3 })).json
    assert.match(made.privateKey, /^[0-9a-f]{64}$/)
    const key = PrivateKey.fromHex(made.privateKey)
    assert.equal((await lookup('id', `dave@${domain}`)).json.pubkey, key.toPublicKey().toString())
    assert.equal((await lookup('id', `dave@${domain}`)).json.phoneFee, 3)
    assert.equal((await phone(makePhone('dave', key, { phoneFee: 4, ts: 1_800_000_000 }))).status, 200)
    assert.equal((await lookup('id', `dave@${domain}`)).json.phoneFee, 4)
  })

  it('publishes a key registered so in its uncompressed form', async () => {
    const key = PrivateKey.fromRandom()
    await control('POST', '/control/alias', { alias: 'erin', privateKey: key.toHex(), uncompressed: true })
    const published = (await lookup('id', `erin@${domain}`)).json.pubkey
    assert.equal(published, Buffer.from(key.toPublicKey().encode(false)).toString('hex'))
    assert.match(published, /^04[0-9a-f]{128}$/)
    // Claims and phone records still compare the compressed key.
    assert.equal((await phone(makePhone('erin', key))).status, 200)
  })
})

describe('the external paymail host', () => {
  const ext = info.hosts.external_paymail
  const post = (path, body) => host('external_paymail', 'POST', path, body)

  it('publishes its capabilities on its own host', async () => {
    const caps = (await host('external_paymail', 'GET', '/.well-known/bsvalias')).json.capabilities
    for (const id of ['2a40af698840', 'paymentDestination', '5f1323cddf31']) assert.ok(caps[id].startsWith(`https://${ext}/`), id)
  })

  it('gives destinations and records the transactions delivered to it', async () => {
    const erin = (await control('GET', '/control/external/alias/erin')).json
    const caps = (await host('external_paymail', 'GET', '/.well-known/bsvalias')).json.capabilities
    const url = id => new URL(caps[id].replace('{alias}', 'erin').replace('{domain.tld}', ext)).pathname

    const basic = await post(url('paymentDestination'), { senderName: 'alice', senderHandle: `alice@${domain}`, dt: Date.now(), amount: 1, purpose: 'payment' })
    assert.deepEqual(basic.json, { output: erin.script })
    assert.equal((await post(url('paymentDestination'), { amount: 1 })).status, 400)

    const dest = (await post(url('2a40af698840'), { satoshis: 1 })).json
    assert.deepEqual(dest.outputs, [{ script: erin.script, satoshis: 1 }])
    assert.match(dest.reference, /^[0-9a-f]{32}$/)
    assert.equal((await post(url('2a40af698840'), { satoshis: 0 })).status, 400)

    const sender = PrivateKey.fromRandom()
    const payer = await fundedKey(control, [5000, 5000])
    const tx = await buildTx([payer.coins[0]], [{ script: erin.script, sats: 1 }, { address: payer.address, sats: 4900 }])
    const txid = tx.id('hex')
    const metadata = { sender: `alice@${domain}`, pubkey: sender.toPublicKey().toString(), signature: identitySign(txid, sender), note: 'payment' }
    const delivered = await post(url('5f1323cddf31'), { hex: tx.toHex(), metadata, reference: dest.reference })
    assert.equal(delivered.status, 200, delivered.text)
    assert.equal(delivered.json.txid, txid)
    assert.equal((await control('GET', `/control/tx/${txid}`)).json.status, 'mempool')

    const wrongAmount = await buildTx([payer.coins[1]], [{ script: erin.script, sats: 2 }, { address: payer.address, sats: 4900 }])
    const refusals = [
      [{ hex: tx.toHex(), metadata, reference: 'ff'.repeat(16) }, 'reference is unknown'],
      [{ hex: wrongAmount.toHex(), metadata, reference: dest.reference }, 'does not pay'],
      [{ hex: tx.toHex(), metadata: { ...metadata, signature: identitySign('something else', sender) }, reference: dest.reference }, 'signature'],
      [{ hex: tx.toHex().slice(0, 50), metadata, reference: dest.reference }, 'does not parse']
    ]
    for (const [body, marker] of refusals) {
      const answer = await post(url('5f1323cddf31'), body)
      assert.equal(answer.status, 400)
      assert.ok(answer.json.message.includes(marker), answer.text)
    }
    const { deliveries } = (await control('GET', '/control/external/deliveries')).json
    assert.equal(deliveries.length, 5)
    assert.deepEqual([deliveries[0].accepted, deliveries[0].signatureValid, deliveries[0].txid, deliveries[0].metadata.sender], [true, true, txid, `alice@${domain}`])
    assert.ok(deliveries.slice(1).every(d => d.accepted === false && d.error))
  })

  it('answers 404 for a paymail of another domain', async () => {
    assert.equal((await post(`/api/p2p-destination/erin@${domain}`, { satoshis: 1 })).status, 404)
  })
})

describe('the download site', () => {
  it('names the published version and the rate, as the control port sets them', async () => {
    const page = await host('download', 'GET', '/cphone/')
    assert.equal(page.status, 200)
    assert.match(page.text.replace(/<[^>]*>/g, ' ').replace(/&nbsp;/g, ' '), /Current build:\s+Version 0\.003/)
    assert.deepEqual((await host('download', 'GET', '/c-rate.json')).json, { ok: true, gbp: 40 })
    await control('POST', '/control/download', { version: '0.004', gbp: 25.5 })
    assert.match((await host('download', 'GET', '/cphone/')).text, /Version 0\.004/)
    assert.deepEqual((await host('download', 'GET', '/c-rate.json')).json, { ok: true, gbp: 25.5 })
    const moved = await host('download', 'GET', '/cphone')
    assert.deepEqual([moved.status, moved.headers.location], [301, '/cphone/'])
    assert.equal((await host('download', 'GET', '/nothing')).status, 404)
  })
})
