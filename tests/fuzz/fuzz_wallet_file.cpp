// The wallet file reader: never crashes or throws; a file it accepts writes
// back to a text that reads as the same wallet.
#include "wallet/wallet_file.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Contact normalisation reads the configuration from the data folder.
    static char folder[] = "/tmp/kestrel-fuzz-XXXXXX";
    if (::mkdtemp(folder) != nullptr) ::setenv("LOCALAPPDATA", folder, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace cv_tessera_wallet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    WalletState state;
    if (parse_wallet_text(text, state) != WalletFileStatus::ok) {
        if (!state.phrase.empty() || !state.receive_priv.empty()) std::abort();
        return 0;
    }
    const std::string saved = wallet_json(state);
    WalletState again;
    if (parse_wallet_text(saved, again) != WalletFileStatus::ok || again.is_hd != state.is_hd ||
        again.phrase != state.phrase || again.receive_priv != state.receive_priv ||
        again.receive_address != state.receive_address || again.counters != state.counters ||
        again.shown != state.shown || again.contacts.size() != state.contacts.size() ||
        again.ord_owned.size() != state.ord_owned.size())
        std::abort();
    wipe_wallet_state(state);
    wipe_wallet_state(again);
    return 0;
}
