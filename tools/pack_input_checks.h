#pragma once
// Mistakes in what a publisher hands to kavro-pack that the archive library would accept
// silently or report in terms of its own: caught by the command line before the work starts.
// Each check throws kavro_pack::Error with a message that says what to do instead.

#include <filesystem>
#include <vector>

namespace kavro_pack {

// Refuses a file that the manifest does not name (nor, for "NAME.sign", names NAME): it would
// be packed but never flashed. A manifest that cannot be read or has no partitions is left to
// build(), which says what is wrong with it; so is a file that is not there.
void require_files_named(const std::filesystem::path& manifest,
                         const std::vector<std::filesystem::path>& files);

// Refuses a private key where a public key is wanted, naming the command that derives one.
void require_public_key(const std::filesystem::path& pem);

}  // namespace kavro_pack
