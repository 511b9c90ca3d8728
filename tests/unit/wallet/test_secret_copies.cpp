// Copies of wallet secrets on the heap: every block this test binary frees
// while a wallet is read, checked for its lock, saved and unloaded is looked
// at before it goes back, and none may still hold the whole phrase or key.
#include "wallet/keys.h"
#include "wallet_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace {

std::atomic<bool> watching {false};
const char* secretText = nullptr;
size_t secretSize = 0;
std::atomic<int> blocksWithSecret {0};

void inspect(void* block)
{
    if (!block || !watching.load(std::memory_order_relaxed) || !secretText) return;
    const size_t size = malloc_usable_size(block);
    if (size >= secretSize && memmem(block, size, secretText, secretSize) != nullptr) ++blocksWithSecret;
}

} // namespace

// The default operator new takes its blocks from malloc; these hand them back
// there after the look.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void* block) noexcept
{
    inspect(block);
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    inspect(block);
    std::free(block);
}

using namespace cv_tessera_wallet;

namespace {

class SecretCopies : public WalletFiles {
protected:
    // Runs what reads and writes the wallet file, watching the frees.
    int freedCopiesOf(const std::string& secret)
    {
        secretText = secret.c_str();
        secretSize = secret.size();
        blocksWithSecret = 0;
        watching = true;
        const bool loaded = load_wallet();
        const bool locked = is_wallet_locked();
        const bool saved = save_wallet();
        refresh_wallet();
        unload_wallet();
        watching = false;
        EXPECT_TRUE(loaded);
        EXPECT_FALSE(locked);
        EXPECT_TRUE(saved);
        return blocksWithSecret.load();
    }
};

} // namespace

TEST_F(SecretCopies, PhraseWalletLeavesNoFreedCopy)
{
    const std::string phrase = kPhrase;
    writeWallet(phraseWallet());
    EXPECT_EQ(freedCopiesOf(phrase), 0);
    EXPECT_TRUE(validate_phrase(phrase));
}

TEST_F(SecretCopies, SingleKeyWalletLeavesNoFreedCopy)
{
    const std::string key = "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd";
    writeWallet(R"({"priv": ")" + key + R"(", "paymail": "", "ord_avatar": {}, "ord_owned": [], "contacts": []})");
    EXPECT_EQ(freedCopiesOf(key), 0);
}
