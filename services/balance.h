// Balance and history: the balance the phone face shows (the "face"), the
// discovery of receive addresses used beyond the wallet's known index, and
// the periodic wallet status refresh that ties them to the paymail claim.
//
// The face is smoothed against chain services that lag behind the wallet's
// own spends: for 45 seconds after a spend a figure that still holds the
// spent coins is not believed. The last face of a wallet survives restarts in
// "<data folder>/tx_hist/<file key>_face.json" ({"address", "sats"}), read
// back only for the same receive address.
//
// The face state is guarded by the wallet mutex; the address discovery has a
// mutex of its own and takes the wallet mutex only to derive and to save, so
// a slow chain service never holds up a call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// What the phone face shows of the wallet, copied out by the refresh.
struct WalletStatus {
    bool loaded = false;
    bool hdReady = false;
    bool coinsAnswered = false; // the coin refresh heard from the chain service
    bool coinsFailed = false;   // the coin refresh was abandoned
    std::string receiveAddress;
    int64_t balance = -1; // the face; -1 while unknown
    std::string mode;     // "hd" or "legacy"
};

// The periodic refresh (the chain watch's poll worker, and Connect once):
// unless skipScan, the address discovery; then, with a loadable wallet, its
// fields, the own paymail and avatar, the coins and the face; the status
// events "status" and "paymail"; the paymail claim when it changed and the
// host role. A wallet that does not load gives a status with loaded false.
void refreshWalletStatus(WalletStatus& status, bool skipScan);

// Reloads the wallet's fields and recomputes the face from the local
// balance (the face, or the face file, while there is none); -1 when no
// wallet loads or nothing is known.
int64_t refreshFace();

// Applies a spend of spent satoshis to the face and reports it as the event
// "[CV-BALANCE]" 0x1F face 0x1F wallet id. Does nothing when standard output
// is an interactive terminal (a command-line run keeps no face).
void noteSpend(int64_t spent);

// The face rules with a fresh balance (negative: unknown, answered as it is)
// and a spent amount (0 for a plain refresh); stores the face and writes the
// face file. Answers the face. Takes the wallet mutex.
int64_t adjustFace(int64_t balance, int64_t spent);

// The current face and expected-after-spend value (-1: none).
int64_t currentFace();
int64_t expectedFace();

// Forgets the face (unloading a wallet).
void resetFace();

// "<data folder>/tx_hist/<file key>_face.json" of the loaded wallet; empty
// without one.
std::string faceFilePath();

// The face the file holds for receiveAddress; -1 when there is no file, it
// does not parse, its "address" differs or its "sats" is not an integer.
int64_t readFaceFile(const std::string& receiveAddress);

// Waits until the face file writes queued so far are on disk.
void flushFaceFile();

// Asks the chain service about up to 400 receive addresses beyond the known
// receive index, 20 a request, resuming where the last scan ended; raises
// the known index (and saves the wallet) when one of them holds funds. A
// failed request ends the scan without changing anything. Needs an HD wallet.
void scanReceiveAddresses();

struct IndexedAddress {
    uint32_t index = 0;
    std::string address;
};

// POSTs the addresses to the chain API's "/addresses/balance" (20 s, 4
// tries on 429). True when the answer was read; highest gets the highest
// index whose address has confirmed > 0 or unconfirmed >= 1 (-1: none). An
// empty list succeeds at once.
bool bulkAddressBalances(const std::vector<IndexedAddress>& addresses, int64_t& highest);

// Reads such an answer: an array of entries (an object is walked member by
// member), each {"address", "balance": {"confirmed", "unconfirmed"}} or with
// the amounts in the entry itself; fractional amounts round half away from
// zero. False when the body is not JSON or neither an array nor an object.
bool readBulkBalances(const std::string& body, const std::vector<IndexedAddress>& addresses, int64_t& highest);

// Installs noteSpend as the wallet's spend observer.
void installBalanceHooks();

} // namespace kestrel
