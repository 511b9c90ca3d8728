// Record commands: identity signatures, the canonical text of signed records,
// signing and verifying records (against the service host of the
// configuration, kestrel-config.json in the data folder), and sealing and
// opening payloads. Each is a thin front over services/ and calls/; "batch"
// runs them too (recordWork).
#include "tools/kestrel-tool/tool.h"

#include "calls/sealing.h"
#include "platform/bounded_json.h"
#include "platform/files.h"
#include "services/identity.h"
#include "services/signed_records.h"
#include "wallet/encoding.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace tool {

using json = nlohmann::json;

namespace {

// The record of a request: "record" (batch) or the JSON of the file "file".
bool readRecord(const json& in, json& record, std::string& error)
{
    if (in.contains("record")) {
        record = in["record"];
        return true;
    }
    const std::string path = textOption(in, "file");
    std::string body;
    if (path.empty() || !platform::readFile(path, body)) {
        error = path.empty() ? "missing --file" : "cannot read " + path;
        return false;
    }
    record = platform::parseBounded(body);
    if (record.is_discarded()) {
        error = path + " is not JSON";
        return false;
    }
    return true;
}

// Loads the wallet file "wallet" for a signing command; unloaded by the caller.
bool loadWallet(const json& in, std::string& error)
{
    const std::string path = textOption(in, "wallet");
    if (!cv_tessera_wallet::load_wallet_from(path)) {
        error = "wallet file " + path + " does not load (missing, locked, not JSON, or not a valid wallet)";
        return false;
    }
    return true;
}

bool signIdentityWork(const json& in, json& out, std::string& error)
{
    const std::string message = textOption(in, "message");
    kestrel::IdentitySignature signature;
    if (in.contains("priv")) {
        signature = kestrel::identitySignWithKey(textOption(in, "priv"), message);
    } else {
        if (!loadWallet(in, error)) return false;
        signature = kestrel::identitySign(message);
        cv_tessera_wallet::unload_wallet();
    }
    if (!signature.ok) {
        error = signature.error;
        return false;
    }
    out = {{"pubkey", signature.publicKey}, {"signature", signature.signature}};
    return true;
}

bool verifyIdentityWork(const json& in, json& out, std::string&)
{
    out = {{"valid", kestrel::verifySignedMessage(textOption(in, "message"), textOption(in, "pub"),
                                                  textOption(in, "signature"))}};
    return true;
}

bool canonicalWork(const json& in, json& out, std::string& error)
{
    json record;
    if (!readRecord(in, record, error)) return false;
    out = {{"text", kestrel::canonicalRecordText(record)}};
    return true;
}

bool signRecordWork(const json& in, json& out, std::string& error)
{
    json record;
    if (!readRecord(in, record, error) || !loadWallet(in, error)) return false;
    const bool ok = kestrel::signRecord(record, error);
    cv_tessera_wallet::unload_wallet();
    if (!ok) return false;
    out = {{"record", record}, {"text", kestrel::canonicalRecordText(record)}};
    return true;
}

bool verifyRecordWork(const json& in, json& out, std::string& error)
{
    json record;
    if (!readRecord(in, record, error)) return false;
    const bool holds = kestrel::verifyRecordSignature(record);
    out = {{"valid", holds && kestrel::verifyRecord(record)}, {"signed", holds}};
    return true;
}

bool sealWork(const json& in, json& out, std::string& error)
{
    std::string plain = textOption(in, "text");
    if (in.contains("text-hex")) {
        const std::string hex = textOption(in, "text-hex");
        const cv_tessera_wallet::Bytes bytes = cv_tessera_wallet::hex_decode(hex);
        if (bytes.empty() && !hex.empty()) {
            error = "--text-hex is not hex";
            return false;
        }
        plain.assign(bytes.begin(), bytes.end());
    }
    const std::string sealed = kestrel::sealToKey(plain, textOption(in, "pub"));
    if (sealed.empty()) {
        error = "cannot seal to that key (33 or 65 bytes of hex, a point on secp256k1)";
        return false;
    }
    out = {{"sealed", sealed}};
    return true;
}

bool openWork(const json& in, json& out, std::string& error)
{
    std::optional<std::string> plain = kestrel::openSealed(textOption(in, "sealed"), textOption(in, "priv"));
    if (!plain) {
        error = "does not open (not a sealed text for this key, damaged, or a bad key)";
        return false;
    }
    const bool asHex = in.contains("as-hex") && in["as-hex"] != false;
    if (asHex)
        out = {{"hex", cv_tessera_wallet::hex_encode(reinterpret_cast<const uint8_t*>(plain->data()), plain->size())}};
    else
        out = {{"text", *plain}};
    return true;
}

const WorkEntry kWork[] = {
    {"sign-identity", signIdentityWork},
    {"verify-message", verifyIdentityWork},
    {"canonical", canonicalWork},
    {"sign-record", signRecordWork},
    {"verify-record", verifyRecordWork},
    {"seal", sealWork},
    {"open", openWork},
};

int runFromArgs(const char* name, const Args& args, const std::vector<std::string>& required)
{
    json in;
    if (!workInput(name, args, required, in)) return 1;
    return printWork(recordWork(name), in);
}

int signIdentityCommand(const Args& a)
{
    if (!a.options.count("wallet") && !a.options.count("priv"))
        return fail("give --wallet FILE or --priv HEX (see kestrel-tool sign-identity --help)");
    return runFromArgs("sign-identity", a, {"message"});
}
int canonicalCommand(const Args& a)
{
    return runFromArgs("canonical", a, {"file"});
}
int signRecordCommand(const Args& a)
{
    return runFromArgs("sign-record", a, {"wallet", "file"});
}
int verifyRecordCommand(const Args& a)
{
    return runFromArgs("verify-record", a, {"file"});
}
int sealCommand(const Args& a)
{
    if (!a.options.count("text") && !a.options.count("text-hex"))
        return fail("give --text TEXT or --text-hex HEX (see kestrel-tool seal --help)");
    return runFromArgs("seal", a, {"pub"});
}
int openCommand(const Args& a)
{
    return runFromArgs("open", a, {"priv", "sealed"});
}

} // namespace

Work recordWork(const std::string& name)
{
    return findWork(kWork, name);
}

std::vector<Command> recordCommands()
{
    return {
        {"sign-identity", "--message TEXT (--wallet FILE | --priv HEX)",
         "identity signature of a message: Base64 of r||s over its signed-message digest -> {pubkey, signature}; "
         "--wallet signs with the wallet file's identity key",
         signIdentityCommand},
        {"canonical", "--file RECORD.json", "the canonical text a record's signature covers -> {text}",
         canonicalCommand},
        {"sign-record", "--wallet FILE --file RECORD.json",
         "sign a phone record with the wallet's identity key and check it against the configured service -> "
         "{record, text}",
         signRecordCommand},
        {"verify-record", "--file RECORD.json",
         "is the record trusted (signature, and the key the configured service publishes for its actor) -> {valid, "
         "signed}; signed: the signature alone holds",
         verifyRecordCommand},
        {"seal", "--pub HEX (--text TEXT | --text-hex HEX)", "seal a text to a public key (BIE1) -> {sealed} (hex)",
         sealCommand},
        {"open", "--priv HEX --sealed HEX [--as-hex]",
         "open a sealed text with a private key -> {text} ({hex} with --as-hex); exit 1 when it does not open",
         openCommand},
    };
}

} // namespace tool
