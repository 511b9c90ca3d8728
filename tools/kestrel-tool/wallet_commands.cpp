// Wallet commands: keys, addresses, message signatures, signature hashes,
// transaction signing, txids and wallet files, each a thin front over the
// wallet module. "batch" runs many of them from a JSON-lines file in one
// process (the interoperability tests use it).
#include "tools/kestrel-tool/tool.h"

#include "platform/bounded_json.h"
#include "platform/files.h"
#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"

#include <fstream>
#include <iostream>

namespace tool {

using json = nlohmann::json;
using namespace cv_tessera_wallet;

namespace {

bool deriveWork(const json& in, json& out, std::string& error)
{
    std::string priv, pub, address;
    std::vector<uint32_t> path;
    if (!parse_path(textOption(in, "path"), path)) {
        error = "bad derivation path (expected e.g. m/44'/236'/1'/0/0)";
        return false;
    }
    if (!validate_phrase(textOption(in, "phrase"))) {
        error = "not a valid 12-word recovery phrase";
        return false;
    }
    if (!derive_from_phrase(textOption(in, "phrase"), textOption(in, "path"), priv, pub, address)) {
        error = "derivation failed";
        return false;
    }
    out = {{"priv", priv}, {"pub", pub}, {"address", address}};
    wipe_string(priv);
    return true;
}

bool addressWork(const json& in, json& out, std::string& error)
{
    const std::string address = address_from_pubkey(textOption(in, "pub"));
    const Bytes pub = hex_decode(textOption(in, "pub"));
    if (address.empty() || !is_public_key(pub.data(), pub.size())) {
        error = "not a compressed public key (66 hex digits)";
        return false;
    }
    out = {{"address", address}};
    return true;
}

bool decodeAddressWork(const json& in, json& out, std::string& error)
{
    Bytes hash;
    if (!decode_address(textOption(in, "address"), hash)) {
        error = "not a legacy P2PKH address";
        return false;
    }
    out = {{"hash160", hex_encode(hash)}, {"script", hex_encode(p2pkh_locking_script(hash))}};
    return true;
}

bool signMessageWork(const json& in, json& out, std::string& error)
{
    const std::string signature = sign_message(textOption(in, "priv"), textOption(in, "message"));
    if (signature.empty()) {
        error = "signing failed (private key must be 64 hex digits; message at most 65535 bytes)";
        return false;
    }
    out = {{"signature", signature}};
    return true;
}

// With --pub, the identity-signature check (record_commands.cpp); without,
// recovery of the signer of a compact signature.
bool verifyMessageWork(const json& in, json& out, std::string& error)
{
    if (in.contains("pub")) return recordWork("verify-message")(in, out, error);
    const std::string pub = recover_message_pubkey(textOption(in, "message"), textOption(in, "signature"));
    const std::string address = pub.empty() ? std::string() : address_from_pubkey(pub);
    const std::string want = textOption(in, "address");
    out = {{"valid", !pub.empty() && (want.empty() || want == address)}, {"pub", pub}, {"address", address}};
    return true;
}

// The transaction description {"inputs": [...], "outputs": [...]} as coins
// and outputs; each input's hash160 comes from its private key when it has
// one. needKeys: every input must carry "priv".
bool readTx(const json& tx, bool needKeys, std::vector<Coin>& inputs, std::vector<Output>& outputs, std::string& error)
{
    if (!tx.is_object() || !tx.contains("inputs") || !tx["inputs"].is_array() || !tx.contains("outputs") ||
        !tx["outputs"].is_array()) {
        error = "transaction description needs \"inputs\" and \"outputs\" arrays";
        return false;
    }
    for (const json& item : tx["inputs"]) {
        Coin c;
        const std::string script = textOption(item, "script");
        if (!item.is_object() || !is_txid(textOption(item, "txid")) || !item.contains("vout") ||
            !item["vout"].is_number_unsigned() || item["vout"].get<uint64_t>() > 0xFFFFFFFFu ||
            !item.contains("sats") || !item["sats"].is_number_integer() || item["sats"].get<int64_t>() < 0) {
            error = "each input needs \"txid\" (64 hex), \"vout\" (0 to 4294967295) and \"sats\" (0 or more)";
            return false;
        }
        c.txid = textOption(item, "txid");
        c.vout = item["vout"].get<uint32_t>();
        c.sats = item["sats"].get<int64_t>();
        c.script_pubkey = hex_decode(script);
        if (c.script_pubkey.empty() != script.empty()) {
            error = "input script is not hex";
            return false;
        }
        c.priv = textOption(item, "priv");
        if (!c.priv.empty()) {
            if (!pubkey_from_privkey(c.priv, c.pub)) {
                error = "input private key is not 64 hex digits of a valid key";
                return false;
            }
            c.hash160 = hash160(hex_decode(c.pub));
        } else if (needKeys) {
            error = "each input needs \"priv\" to be signed";
            return false;
        }
        if (c.script_pubkey.empty() && c.hash160.empty()) {
            error = "an input without \"script\" needs \"priv\"";
            return false;
        }
        inputs.push_back(std::move(c));
    }
    for (const json& item : tx["outputs"]) {
        Output o;
        if (!item.is_object() || !item.contains("sats") || !item["sats"].is_number_integer() ||
            item["sats"].get<int64_t>() < 0) {
            error = "each output needs \"sats\" (0 or more) and \"script\" (hex)";
            return false;
        }
        o.sats = item["sats"].get<int64_t>();
        o.script = hex_decode(textOption(item, "script"));
        if (o.script.empty()) {
            error = "each output needs \"sats\" (0 or more) and \"script\" (hex)";
            return false;
        }
        outputs.push_back(std::move(o));
    }
    if (inputs.empty() || outputs.empty()) {
        error = "a transaction needs at least one input and one output";
        return false;
    }
    return true;
}

void wipeKeys(std::vector<Coin>& inputs)
{
    for (Coin& c : inputs) wipe_string(c.priv);
}

bool sighashWork(const json& in, json& out, std::string& error)
{
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    const bool ok = readTx(in.contains("tx") ? in["tx"] : json(), false, inputs, outputs, error);
    wipeKeys(inputs);
    if (!ok) return false;
    json hashes = json::array();
    for (const Coin& c : inputs) {
        const Bytes digest = signature_hash(c, inputs, outputs, c.hash160);
        if (digest.empty()) {
            error = "signature hash failed";
            return false;
        }
        // Shown in the byte order of the digest that is signed.
        hashes.push_back(hex_encode(digest));
    }
    out = {{"sighash", hashes}};
    return true;
}

bool signTxWork(const json& in, json& out, std::string& error)
{
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    bool ok = readTx(in.contains("tx") ? in["tx"] : json(), true, inputs, outputs, error);
    for (size_t i = 0; ok && i < inputs.size(); ++i) {
        Coin& c = inputs[i];
        ok = sign_input(c, inputs, outputs, c.hash160, c.priv, c.pub);
        if (!ok) error = "signing failed";
    }
    wipeKeys(inputs);
    if (!ok) return false;
    const Bytes raw = serialize(inputs, outputs, false);
    if (raw.empty()) {
        error = "serialize failed";
        return false;
    }
    out = {{"hex", hex_encode(raw)}, {"txid", txid(raw)}};
    return true;
}

bool txidWork(const json& in, json& out, std::string& error)
{
    Transaction tx;
    if (!parse_transaction_hex(textOption(in, "hex"), tx)) {
        error = "not a raw transaction in hex";
        return false;
    }
    out = {{"txid", txid(hex_decode(textOption(in, "hex")))},
           {"inputs", tx.inputs.size()},
           {"outputs", tx.outputs.size()}};
    return true;
}

bool walletInfoWork(const json& in, json& out, std::string& error)
{
    const std::string path = textOption(in, "file");
    if (is_wallet_file_locked(path)) {
        out = {{"locked", true}};
        return true;
    }
    if (!load_wallet_from(path)) {
        error = "wallet file does not load (missing, not JSON, or neither a valid phrase nor a valid key)";
        return false;
    }
    const WalletView v = wallet_view();
    out = {{"mode", v.is_hd ? "hd" : "legacy"}, {"locked", false},
           {"receive", v.receive_address},      {"identity", v.identity_address},
           {"identity_pub", v.identity_pub},    {"greeting", greeting_address()}};
    std::string pub, priv, address, ignored;
    out["bn"] = bn_key(pub, priv, address, ignored) ? address : "";
    wipe_string(priv);
    out["ord"] = v.ord_address;
    out["paymail"] = v.paymail;
    out["recv"] = v.counters;
    out["show"] = v.shown;
    unload_wallet();
    return true;
}

const WorkEntry kWork[] = {
    {"derive", deriveWork},
    {"address", addressWork},
    {"decode-address", decodeAddressWork},
    {"sign-message", signMessageWork},
    {"verify-message", verifyMessageWork},
    {"sighash", sighashWork},
    {"sign-tx", signTxWork},
    {"txid", txidWork},
    {"wallet-info", walletInfoWork},
};

// Runs one command from its options; transaction commands read --file.
int runFromArgs(const char* name, const Args& args, const std::vector<std::string>& required)
{
    json in;
    if (!workInput(name, args, required, in)) return 1;
    const std::string command = name;
    if (command == "sighash" || command == "sign-tx") {
        std::string body;
        if (!platform::readFile(args.get("file"), body)) return fail("cannot read " + args.get("file"));
        in["tx"] = platform::parseBounded(body);
        if (in["tx"].is_discarded()) return fail(args.get("file") + " is not JSON");
    }
    return printWork(findWork(kWork, command), in);
}

int deriveCommand(const Args& a)
{
    return runFromArgs("derive", a, {"phrase", "path"});
}
int addressCommand(const Args& a)
{
    return runFromArgs("address", a, {"pub"});
}
int decodeAddressCommand(const Args& a)
{
    return runFromArgs("decode-address", a, {"address"});
}
int signMessageCommand(const Args& a)
{
    return runFromArgs("sign-message", a, {"priv", "message"});
}
int verifyMessageCommand(const Args& a)
{
    return runFromArgs("verify-message", a, {"message", "signature"});
}
int sighashCommand(const Args& a)
{
    return runFromArgs("sighash", a, {"file"});
}
int signTxCommand(const Args& a)
{
    return runFromArgs("sign-tx", a, {"file"});
}
int txidCommand(const Args& a)
{
    return runFromArgs("txid", a, {"hex"});
}
int walletInfoCommand(const Args& a)
{
    return runFromArgs("wallet-info", a, {"file"});
}

// One JSON object per line: {"command": NAME, ...options, "tx": {...}}; one
// answer line each, the result or {"error": TEXT}.
int batchCommand(const Args& args)
{
    if (args.options.count("file") == 0) return fail("missing --file (see kestrel-tool batch --help)");
    std::ifstream file(args.get("file"));
    if (!file) return fail("cannot read " + args.get("file"));
    std::string line;
    std::string answers;
    while (std::getline(file, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const json in = platform::parseBounded(line);
        json out;
        std::string error;
        const std::string name = in.is_object() ? textOption(in, "command") : std::string();
        Work work = findWork(kWork, name);
        if (work == nullptr && !name.empty()) work = recordWork(name);
        if (work == nullptr)
            out = {{"error", "not a JSON object with a known \"command\""}};
        else if (!work(in, out, error))
            out = {{"error", error}};
        answers += out.dump(-1, ' ', false, json::error_handler_t::replace);
        answers += '\n';
    }
    std::cout << answers << std::flush;
    return 0;
}

} // namespace

std::vector<Command> walletCommands()
{
    return {
        {"derive", "--phrase WORDS --path PATH",
         "derive a key from a 12-word phrase along a path such as m/44'/236'/1'/0/0 -> {priv, pub, address}",
         deriveCommand},
        {"address", "--pub HEX", "P2PKH address of a compressed public key -> {address}", addressCommand},
        {"decode-address", "--address A", "hash160 and locking script of a P2PKH address -> {hash160, script}",
         decodeAddressCommand},
        {"sign-message", "--priv HEX --message TEXT",
         "Bitcoin Signed Message compact signature -> {signature} (Base64)", signMessageCommand},
        {"verify-message", "--message TEXT --signature BASE64 [--address A | --pub HEX]",
         "without --pub: recover the signer of a compact message signature -> {valid, pub, address}; with --pub: "
         "does the identity signature (r||s) verify with that key over the signed-message digest, the SHA-256 or the "
         "double SHA-256 -> {valid}",
         verifyMessageCommand},
        {"sighash", "--file TX.json",
         "FORKID signature hash of every input -> {sighash: [hex]}; TX.json is {\"inputs\": [{\"txid\", \"vout\", "
         "\"sats\", \"script\", \"priv\"}], \"outputs\": [{\"sats\", \"script\"}]}",
         sighashCommand},
        {"sign-tx", "--file TX.json", "sign every input (P2PKH) of TX.json -> {hex, txid}", signTxCommand},
        {"txid", "--hex RAW", "txid of a raw transaction -> {txid, inputs, outputs}", txidCommand},
        {"wallet-info", "--file WALLET.json",
         "mode and addresses of a wallet file -> {mode, locked, receive, identity, identity_pub, greeting, bn, ord, "
         "paymail, recv, show}; a locked file gives {locked: true}",
         walletInfoCommand},
        {"batch", "--file LINES.jsonl",
         "run wallet and record commands from JSON lines {\"command\": NAME, option: value, \"tx\": {...}}; one answer "
         "line "
         "each ({error} on failure)",
         batchCommand},
    };
}

} // namespace tool
