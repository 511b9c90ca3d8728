// Writes tests/data/forkid-sighash.json: fixed transactions with the
// serialisation, txid and FORKID signature hash of every input as @bsv/sdk
// computes them, for the table-driven unit test. Run again only to add cases:
//   node tests/interop/make-sighash-vectors.mjs > tests/data/forkid-sighash.json
import { LockingScript, Transaction, UnlockingScript } from '@bsv/sdk'
import { toHex as hex, p2pkh, push, sdkSighash } from './common.mjs'

const bytes = (n, seed) => Array.from({ length: n }, (_, i) => (seed * 131 + i * 29 + ((i * i) >> 3)) & 255)

const cases = [
  {
    name: 'one P2PKH input, one P2PKH output',
    inputs: [{ txid: hex(bytes(32, 1)), vout: 0, sats: 100000, script: hex(p2pkh(bytes(20, 2))) }],
    outputs: [{ sats: 99800, script: hex(p2pkh(bytes(20, 3))) }]
  },
  {
    name: 'phone record: two inputs, 1-sat outputs, OP_FALSE OP_RETURN of 200 bytes, change',
    inputs: [
      { txid: hex(bytes(32, 4)), vout: 1, sats: 5000, script: hex(p2pkh(bytes(20, 5))) },
      { txid: hex(bytes(32, 6)), vout: 7, sats: 12345, script: hex(p2pkh(bytes(20, 7))) }
    ],
    outputs: [
      { sats: 1, script: hex(p2pkh(bytes(20, 8))) },
      { sats: 1, script: hex(p2pkh(bytes(20, 9))) },
      { sats: 0, script: hex([0x00, 0x6a, ...push(bytes(200, 10))]) },
      { sats: 17100, script: hex(p2pkh(bytes(20, 5))) }
    ]
  },
  {
    name: 'three inputs with non-P2PKH scripts and an input hashed against its key (no script)',
    inputs: [
      { txid: hex(bytes(32, 11)), vout: 4294967295, sats: 2 ** 52, script: hex([0x51]) },
      { txid: hex(bytes(32, 12)), vout: 2, sats: 0, script: '', hash160: hex(bytes(20, 13)) },
      { txid: hex(bytes(32, 14)), vout: 3, sats: 546, script: hex([...push([2, ...bytes(32, 15)]), 0xac]) }
    ],
    outputs: [
      { sats: 0, script: hex([0x00, 0x6a, ...push(bytes(300, 16)), ...push(bytes(76, 17))]) },
      { sats: 4294967296, script: hex([0xa9, ...push(bytes(20, 18)), 0x87]) }
    ]
  },
  {
    name: 'five inputs, a long locking script (PUSHDATA2 inside the script code)',
    inputs: [0, 1, 2, 3, 4].map((i) => ({
      txid: hex(bytes(32, 20 + i)),
      vout: i,
      sats: 1000 * (i + 1),
      script: i === 2 ? hex([...push(bytes(400, 30)), 0x75, ...p2pkh(bytes(20, 31))]) : hex(p2pkh(bytes(20, 40 + i)))
    })),
    outputs: [{ sats: 14000, script: hex(p2pkh(bytes(20, 50))) }]
  }
]

for (const c of cases) {
  for (const [i, input] of c.inputs.entries()) input.script_sig = hex([...push(bytes(71, 60 + i)), ...push(bytes(33, 70 + i))])
  c.sighash = c.inputs.map((input, index) =>
    sdkSighash(c, index, input.script !== '' ? input.script : hex(p2pkh(Buffer.from(input.hash160, 'hex')))))
  const tx = new Transaction(1, c.inputs.map((input) => ({
    sourceTXID: input.txid,
    sourceOutputIndex: input.vout,
    unlockingScript: UnlockingScript.fromHex(input.script_sig),
    sequence: 0xffffffff
  })), c.outputs.map((o) => ({ satoshis: o.sats, lockingScript: LockingScript.fromHex(o.script) })), 0)
  c.hex = tx.toHex()
  c.txid = tx.id('hex')
}
console.log(JSON.stringify({ source: '@bsv/sdk 2.1.0 TransactionSignature.format and Transaction.toHex', cases }, null, 2))
