#include "wallet/transaction.h"

#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/secp256k1.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace cv_tessera_wallet {

// The 32 txid bytes in internal order, or false for a bad txid.
static bool appendOutpoint(Bytes& out, const std::string& txid_text, uint32_t vout)
{
    if (!is_txid(txid_text)) return false;
    const Bytes display = hex_decode(txid_text);
    out.insert(out.end(), display.rbegin(), display.rend());
    write_u32(out, vout);
    return true;
}

static void appendOutput(Bytes& out, const Output& output)
{
    write_u64(out, static_cast<uint64_t>(output.sats));
    write_compact_size(out, output.script.size());
    out.insert(out.end(), output.script.begin(), output.script.end());
}

Bytes serialize(const std::vector<Coin>& inputs, const std::vector<Output>& outputs, bool estimate)
{
    Bytes out;
    size_t size = 16;
    for (const Coin& c : inputs) size += 41 + 9 + (estimate ? kUnlockingScriptEstimate : c.script_sig.size());
    for (const Output& o : outputs) size += 17 + o.script.size();
    out.reserve(size);

    write_u32(out, kTxVersion);
    write_compact_size(out, inputs.size());
    for (const Coin& c : inputs) {
        if (!appendOutpoint(out, c.txid, c.vout)) return {};
        if (estimate) {
            out.push_back(static_cast<uint8_t>(kUnlockingScriptEstimate));
            out.insert(out.end(), kUnlockingScriptEstimate, 0x00);
        } else {
            write_compact_size(out, c.script_sig.size());
            out.insert(out.end(), c.script_sig.begin(), c.script_sig.end());
        }
        write_u32(out, kTxSequence);
    }
    write_compact_size(out, outputs.size());
    for (const Output& o : outputs) appendOutput(out, o);
    write_u32(out, kTxLockTime);
    return out;
}

std::string txid(const Bytes& raw)
{
    Bytes hash = sha256d(raw);
    std::reverse(hash.begin(), hash.end());
    return hex_encode(hash);
}

Bytes signature_hash(const Coin& input, const std::vector<Coin>& all_inputs, const std::vector<Output>& outputs,
                     const Bytes& hash160)
{
    const Bytes script_code = input.script_pubkey.empty() ? p2pkh_locking_script(hash160) : input.script_pubkey;
    if (script_code.empty()) return {};

    Bytes prevouts;
    prevouts.reserve(36 * all_inputs.size());
    Bytes sequences;
    sequences.reserve(4 * all_inputs.size());
    for (const Coin& c : all_inputs) {
        if (!appendOutpoint(prevouts, c.txid, c.vout)) return {};
        write_u32(sequences, kTxSequence);
    }
    Bytes outs;
    for (const Output& o : outputs) appendOutput(outs, o);

    Bytes preimage;
    preimage.reserve(160 + script_code.size());
    write_u32(preimage, kTxVersion);
    const Bytes hash_prevouts = sha256d(prevouts);
    const Bytes hash_sequence = sha256d(sequences);
    const Bytes hash_outputs = sha256d(outs);
    preimage.insert(preimage.end(), hash_prevouts.begin(), hash_prevouts.end());
    preimage.insert(preimage.end(), hash_sequence.begin(), hash_sequence.end());
    if (!appendOutpoint(preimage, input.txid, input.vout)) return {};
    write_compact_size(preimage, script_code.size());
    preimage.insert(preimage.end(), script_code.begin(), script_code.end());
    write_u64(preimage, static_cast<uint64_t>(input.sats));
    write_u32(preimage, kTxSequence);
    preimage.insert(preimage.end(), hash_outputs.begin(), hash_outputs.end());
    write_u32(preimage, kTxLockTime);
    write_u32(preimage, kSighashAllForkId);
    return sha256d(preimage);
}

Bytes ecdsa_sign(std::string_view priv_hex, const Bytes& digest)
{
    if (digest.size() != 32) return {};
    Bytes key = hex_decode(priv_hex);
    Bytes der = key.size() == 32 ? ecdsa_sign_der(key.data(), digest.data()) : Bytes {};
    OPENSSL_cleanse(key.data(), key.size());
    return der;
}

Bytes p2pkh_unlocking_script(const Bytes& der, const Bytes& pub)
{
    Bytes signature = der;
    signature.push_back(kSighashAllForkId);
    Bytes script;
    script.reserve(signature.size() + pub.size() + 2);
    write_push_data(script, signature);
    write_push_data(script, pub);
    return script;
}

bool sign_input(Coin& input, const std::vector<Coin>& all_inputs, const std::vector<Output>& outputs,
                const Bytes& hash160, std::string_view priv_hex, std::string_view pub_hex)
{
    std::string own_pub;
    if (!pubkey_from_privkey(priv_hex, own_pub)) return false;
    if (!pub_hex.empty() && ascii_lower(pub_hex) != own_pub) return false;
    const Bytes digest = signature_hash(input, all_inputs, outputs, hash160);
    if (digest.size() != 32) return false;
    const Bytes der = ecdsa_sign(priv_hex, digest);
    if (der.empty()) return false;
    input.script_sig = p2pkh_unlocking_script(der, hex_decode(own_pub));
    return true;
}

namespace {

// Bounds-checked little-endian reader over raw bytes.
struct Reader {
    const Bytes& data;
    size_t at = 0;

    bool take(size_t n, const uint8_t*& out)
    {
        if (n > data.size() - at) return false;
        out = data.data() + at;
        at += n;
        return true;
    }
    bool u32(uint32_t& value)
    {
        const uint8_t* p = nullptr;
        if (!take(4, p)) return false;
        value = uint32_t {p[0]} | uint32_t {p[1]} << 8 | uint32_t {p[2]} << 16 | uint32_t {p[3]} << 24;
        return true;
    }
    bool u64(uint64_t& value)
    {
        const uint8_t* p = nullptr;
        if (!take(8, p)) return false;
        value = 0;
        for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
        return true;
    }
    bool compactSize(uint64_t& value)
    {
        const uint8_t* p = nullptr;
        if (!take(1, p)) return false;
        if (p[0] < 0xFD) {
            value = p[0];
            return true;
        }
        // Only the shortest form is accepted, as nodes do.
        if (p[0] == 0xFD) {
            if (!take(2, p)) return false;
            value = uint64_t {p[0]} | uint64_t {p[1]} << 8;
            return value >= 0xFD;
        }
        if (p[0] == 0xFE) {
            uint32_t v = 0;
            if (!u32(v)) return false;
            value = v;
            return value > 0xFFFF;
        }
        return u64(value) && value > 0xFFFFFFFFu;
    }
    bool bytes(Bytes& out)
    {
        uint64_t n = 0;
        const uint8_t* p = nullptr;
        if (!compactSize(n) || n > data.size() - at || !take(static_cast<size_t>(n), p)) return false;
        out.assign(p, p + n);
        return true;
    }
};

} // namespace

static bool readTransaction(const Bytes& raw, Transaction& tx)
{
    Reader in {raw};
    uint64_t count = 0;
    // An input takes at least 41 bytes and an output at least 9: a count
    // beyond what is left is malformed, not a reason to allocate.
    if (!in.u32(tx.version) || !in.compactSize(count) || count > (raw.size() - in.at) / 41) return false;
    tx.inputs.resize(static_cast<size_t>(count));
    for (TxInput& input : tx.inputs) {
        const uint8_t* p = nullptr;
        if (!in.take(32, p)) return false;
        Bytes internal(p, p + 32);
        std::reverse(internal.begin(), internal.end());
        input.txid = hex_encode(internal);
        if (!in.u32(input.vout) || !in.bytes(input.script_sig) || !in.u32(input.sequence)) return false;
    }
    if (!in.compactSize(count) || count > (raw.size() - in.at) / 9) return false;
    tx.outputs.resize(static_cast<size_t>(count));
    for (Output& output : tx.outputs) {
        uint64_t sats = 0;
        if (!in.u64(sats) || sats > static_cast<uint64_t>(INT64_MAX) || !in.bytes(output.script)) return false;
        output.sats = static_cast<int64_t>(sats);
    }
    return in.u32(tx.lock_time) && in.at == raw.size();
}

bool parse_transaction(const Bytes& raw, Transaction& tx)
{
    tx = Transaction {};
    if (readTransaction(raw, tx)) return true;
    tx = Transaction {};
    return false;
}

bool parse_transaction_hex(std::string_view hex, Transaction& tx)
{
    const Bytes raw = hex_decode(hex);
    if (raw.empty()) {
        tx = Transaction {};
        return false;
    }
    return parse_transaction(raw, tx);
}

bool script_push_at(const uint8_t* script, size_t size, size_t p, size_t& start, size_t& length)
{
    if (p >= size) return false;
    const uint8_t op = script[p];
    const size_t lengthBytes = op == 0x4c ? 1 : op == 0x4d ? 2 : op == 0x4e ? 4 : 0;
    if (lengthBytes != 0 && size - (p + 1) >= lengthBytes) {
        length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) length |= static_cast<size_t>(script[p + 1 + i]) << (8 * i);
        start = p + 1 + lengthBytes;
    } else {
        length = op;
        start = p + 1;
    }
    return length <= size - start;
}

namespace {

constexpr uint64_t kMaxLenientCount = 10000;

// A CompactSize in any of its forms (others' transactions are read as found).
bool anyCompactSize(Reader& in, uint64_t& value)
{
    const uint8_t* p = nullptr;
    if (!in.take(1, p)) return false;
    const size_t width = p[0] == 0xFD ? 2 : p[0] == 0xFE ? 4 : p[0] == 0xFF ? 8 : 0;
    if (width == 0) {
        value = p[0];
        return true;
    }
    if (!in.take(width, p)) return false;
    value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | p[i];
    return true;
}

bool skipBytes(Reader& in, uint64_t n)
{
    const uint8_t* p = nullptr;
    return n <= in.data.size() - in.at && in.take(static_cast<size_t>(n), p);
}

} // namespace

std::vector<Bytes> output_data_pushes(const Bytes& raw)
{
    Reader in {raw};
    uint64_t count = 0;
    if (!skipBytes(in, 4) || !anyCompactSize(in, count) || count > kMaxLenientCount) return {};
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t scriptLength = 0;
        if (!skipBytes(in, 36) || !anyCompactSize(in, scriptLength) || !skipBytes(in, scriptLength) ||
            !skipBytes(in, 4))
            return {};
    }
    if (!anyCompactSize(in, count) || count > kMaxLenientCount) return {};
    std::vector<Bytes> pushes;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t scriptLength = 0;
        if (!skipBytes(in, 8) || !anyCompactSize(in, scriptLength) || scriptLength > raw.size() - in.at) break;
        const uint8_t* script = nullptr;
        in.take(static_cast<size_t>(scriptLength), script);
        const size_t size = static_cast<size_t>(scriptLength);
        size_t p = 0;
        if (size >= 2 && script[0] == 0x00 && script[1] == 0x6a)
            p = 2;
        else if (size >= 1 && script[0] == 0x6a)
            p = 1;
        else
            continue;
        size_t start = 0, length = 0;
        if (script_push_at(script, size, p, start, length))
            pushes.emplace_back(script + start, script + start + length);
    }
    return pushes;
}

} // namespace cv_tessera_wallet
