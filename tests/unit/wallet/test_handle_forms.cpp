// Every form of a handle side by side, so that a difference between two forms
// is a visible decision of this table rather than an accident of one reader.
#include "wallet/handle_forms.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>

using namespace cv_tessera_wallet;

namespace {

const std::string kAddress = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
const std::string kAddressLower = "1bggz9tcn4rm9kbzdn7kprqz87sz26samh";

struct Row {
    std::string in;
    std::string recipient, signer, alias, registry, bare, comparison, fileId;
};

TEST(HandleForms, EveryInputThroughEveryForm)
{
    TempDataFolder temp; // the default service domain, corvane.app
    const Row rows[] = {
        // in                        recipient            signer               alias    registry  bare      comparison
        // fileId
        {"alice", "alice", "alice", "alice", "alice", "alice", "alice", "alice"},
        {"@Alice@Corvane.App", "alice", "alice@corvane.app", "alice", "alice", "Alice", "alice", "alice"},
        {" $Bob ", "bob", "bob", "bob", "bob", "Bob", "bob", "bob"},
        // Only one "$" names the bare handle; a second one stays where a name is compared.
        {"$$bob", "bob", "$bob", "bob", "bob", "$bob", "$bob", "bob"},
        {"@@ carol", "carol", "@ carol", "carol", "carol", "carol", "carol", "carol"},
        {"$ gina", "gina", "gina", "gina", "gina", "gina", "gina", "gina"},
        // Tabs, CR and LF: the typed and signed forms trim them, the phone's forms do not.
        {"\tdave\r\n", "dave", "dave", "\tdave", "dave", "\tdave\r\n", "\tdave\r\n", "dave"},
        // Another domain: a recipient keeps it (an external paymail); the phone's forms cut it.
        {"Erin@example.com", "erin@example.com", "erin@example.com", "erin", "erin", "Erin", "erin", "erin"},
        {"frank@corvane.app.evil", "frank@corvane.app.evil", "frank@corvane.app.evil", "frank", "frank", "frank",
         "frank", "frank"},
        // A dot stays in a registry name but not in a file id.
        {"Alice.Smith", "alice.smith", "alice.smith", "alice.smith", "alice.smith", "Alice.Smith", "alice.smith",
         "alicesmith"},
        {"hal_9-x+y", "hal_9-x+y", "hal_9-x+y", "hal_9-x+y", "hal_9-xy", "hal_9-x+y", "hal_9-x+y", "hal_9-xy"},
        // An address is kept as typed only by the recipient form.
        {kAddress, kAddress, kAddressLower, kAddressLower, kAddressLower, kAddress, kAddressLower, kAddressLower},
        {"@" + kAddress + " ", kAddress, kAddressLower, kAddressLower, kAddressLower, kAddress, kAddressLower,
         kAddressLower},
        {"J\xC3\xBCrgen", "j\xC3\xBCrgen", "j\xC3\xBCrgen", "j\xC3\xBCrgen", "jrgen", "J\xC3\xBCrgen", "j\xC3\xBCrgen",
         "jrgen"},
        {"a b", "a b", "a b", "a b", "ab", "a b", "a b", "ab"},
        {" @ ", "", "", "", "", "", "", ""},
        {"", "", "", "", "", "", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("input \"" + r.in + "\"");
        EXPECT_EQ(recipient_form(r.in), r.recipient);
        EXPECT_EQ(signer_form(r.in), r.signer);
        EXPECT_EQ(alias_form(r.in), r.alias);
        EXPECT_EQ(registry_key_form(r.in), r.registry);
        EXPECT_EQ(bare_handle(r.in), r.bare);
        EXPECT_EQ(comparison_form(r.in), r.comparison);
        EXPECT_EQ(file_id_form(r.in), r.fileId);
    }
}

} // namespace
