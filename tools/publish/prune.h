// Strays: files served below Update/ that the publication does not list (what an earlier
// release listed, what a killed run left). Clients are never given one, but the server serves
// it to anyone who asks.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace publish {

// One warning a stray, on standard error, saying how to remove them.
void WarnOfStrays(const std::vector<std::string>& strays);

// Removes the strays (names relative to update) and the directories they leave empty.
void PruneStrays(const std::filesystem::path& update, const std::vector<std::string>& strays);

// The prune command: removes the strays of the publication in root, whose lists must be sound
// (a tree signed or not). Returns the exit status.
int Prune(const std::filesystem::path& root);

}  // namespace publish
