// The check of a published tree, as a signed Kestrin would make it against that server.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/manifest.h"
#include "lists.h"
#include "net/crypto.h"

namespace publish {

struct TreeCheck {
    std::vector<std::string> problems;         // none: the tree is sound
    std::optional<engine::Manifest> manifest;  // when the manifest was accepted
    // Why the manifest was refused, when it was.
    std::optional<engine::ManifestFault> refused;
    // The files below Update/ that are served but neither listed nor the tree's own (names
    // relative to Update/, "/" between directories); known only when File_list.txt was read.
    std::vector<std::string> strays;
};

// Checks root/Update: the manifest's signature with key (with none, the manifest is only read:
// the publisher's own tree signed with a key given up) and the policy; Version.txt and
// File_list.txt against their records; every name that File_list.txt lists is one that
// Kestrin uses, has a record, and its file matches the record. Reading stops where Kestrin's
// would: nothing is checked against a manifest that was refused, and no name is taken from a
// File_list.txt that does not match. Stray files are not problems here: each command decides.
TreeCheck CheckTree(const std::filesystem::path& root, const net::P256PublicKey* key,
                    const engine::ManifestPolicy& policy);

// Prints each problem of check and refuses with refusal when there is one.
void RefuseUnsound(const TreeCheck& check, const std::string& refusal);

// The key that a --public-key argument names: its text, or a file that holds it (as
// keygen's public-key.txt does) or holds it in PEM (as public-key.pem does). Refuses anything
// else.
net::P256PublicKey PublicKeyArgument(const std::string& argument);

// The files below update that are neither the tree's own nor listed (names relative to update,
// "/" between directories), sorted. Links are not followed.
std::vector<std::string> StrayFiles(const std::filesystem::path& update,
                                    const std::vector<ListedFile>& listed);

// The verify command: prints each problem and returns the exit status. Strays are warned about,
// and are problems only when strict.
int Verify(const std::filesystem::path& root, const net::P256PublicKey& key,
           const std::optional<CString>& product, bool strict);

}  // namespace publish
