// Bitcoin SV transactions as the wallet builds them: the Coin and Output
// records, serialisation (with the size-estimate placeholder), txids, the
// replay-protected signature hash (BIP-143 form, SIGHASH_ALL | FORKID), ECDSA
// signatures with low-S in DER, the P2PKH unlocking script, and a reader for
// raw transactions.
//
// Every transaction written here has version 1, input sequences 0xFFFFFFFF
// and lock time 0. Failures answer empty bytes or false, never an exception.
#pragma once

#include "wallet/encoding.h"

#include <string>
#include <string_view>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr uint32_t kTxVersion = 1;
inline constexpr uint32_t kTxSequence = 0xFFFFFFFF;
inline constexpr uint32_t kTxLockTime = 0;
inline constexpr uint8_t kSighashAllForkId = 0x41;
// One DER signature with its hash-type byte plus one compressed public key.
inline constexpr size_t kUnlockingScriptEstimate = 107;
// The money range: no amount, coin or sum of coins is ever above 21 million
// BSV, so sums of amounts inside it never overflow 64 bits.
inline constexpr int64_t kMaxMoneySats = 2'100'000'000'000'000;

// True for 0..kMaxMoneySats.
inline constexpr bool in_money_range(int64_t sats)
{
    return sats >= 0 && sats <= kMaxMoneySats;
}

// One spendable output, also the input record of a transaction being built.
struct Coin {
    std::string txid; // 64 hex, display order
    uint32_t vout = 0;
    int64_t sats = 0;
    Bytes script_sig;    // unlocking script, empty until signed
    Bytes script_pubkey; // the coin's locking script when known, else empty
    std::string priv;    // 64 hex; empty means the wallet's receive key
    std::string pub;     // 66 hex, compressed
    Bytes hash160;       // hash160 of the controlling key
};

struct Output {
    int64_t sats = 0; // >= 0
    Bytes script;     // non-empty
};

// Raw transaction bytes. In estimate mode every unlocking script is replaced
// by the placeholder 0x6B and 107 zero bytes. Empty when an input's txid is
// not 64 hex digits.
Bytes serialize(const std::vector<Coin>& inputs, const std::vector<Output>& outputs, bool estimate);

// Display-order txid of raw bytes: SHA-256d, byte-reversed, lower-case hex.
std::string txid(const Bytes& raw);

// SHA-256d of the FORKID preimage for `input` (one of all_inputs) with hash
// type 0x41. The script code is input.script_pubkey when non-empty, else the
// P2PKH script of hash160. Empty when a txid is bad or there is no script code.
Bytes signature_hash(const Coin& input, const std::vector<Coin>& all_inputs, const std::vector<Output>& outputs,
                     const Bytes& hash160);

// DER signature (low-S) of a 32-byte digest by a 64-hex private key; empty
// when the key or the digest is malformed.
Bytes ecdsa_sign(std::string_view priv_hex, const Bytes& digest);

// push(der ‖ 0x41) push(pub): the P2PKH unlocking script.
Bytes p2pkh_unlocking_script(const Bytes& der, const Bytes& pub);

// Signs `input` (one of all_inputs) with priv_hex and sets its script_sig to
// the P2PKH unlocking script; any previous script_sig is discarded. pub_hex
// may be empty (it is computed); a pub_hex that is not priv_hex's key, a bad
// key or a failed signature hash answers false and leaves script_sig alone.
bool sign_input(Coin& input, const std::vector<Coin>& all_inputs, const std::vector<Output>& outputs,
                const Bytes& hash160, std::string_view priv_hex, std::string_view pub_hex);

// A transaction as read from raw bytes (any version, sequences, lock time).
struct TxInput {
    std::string txid; // display order
    uint32_t vout = 0;
    Bytes script_sig;
    uint32_t sequence = 0;
};

struct Transaction {
    uint32_t version = 0;
    std::vector<TxInput> inputs;
    std::vector<Output> outputs;
    uint32_t lock_time = 0;
};

// Reads raw transaction bytes. False for truncated data, trailing bytes,
// counts or lengths beyond the data, a CompactSize not in its shortest form,
// or an output value above 2^63 - 1.
bool parse_transaction(const Bytes& raw, Transaction& tx);
bool parse_transaction_hex(std::string_view hex, Transaction& tx);

// --- Lenient reading, for what others broadcast ------------------------------------------

// Where the push whose opcode sits at p starts and how long it is.
// OP_PUSHDATA1/2/4 read a little-endian length when its bytes are there; any
// other opcode (or a PUSHDATA cut before its length) is itself the length.
// False when p is past the script or the data would run past size.
bool script_push_at(const uint8_t* script, size_t size, size_t p, size_t& start, size_t& length);

// The first push of each output that carries data (OP_RETURN, or OP_FALSE
// OP_RETURN, then a push), in output order, from raw transaction bytes read
// leniently beside parse_transaction: CompactSizes in any form, at most
// 10,000 inputs or outputs, no lock time needed, and reading stops at the
// first output cut short, keeping what came before (a listing may truncate a
// large transaction). An output whose push runs past its script gives
// nothing. Empty when the version and the inputs do not read.
std::vector<Bytes> output_data_pushes(const Bytes& raw);

} // namespace cv_tessera_wallet
