#pragma once

#include <filesystem>
#include <vector>

namespace orvalt::testing {

// One line of a real-image folder's truth.txt: an image, its tags' border width in cells and
// the id of every tag instance seen whole.
struct TruthImage {
  std::filesystem::path path;
  int border_bits = 1;
  std::vector<int> ids;
};

// Reads `folder`/truth.txt ("NAME b1|b2 ID ID ...", '#' comments); no file gives no images.
// Shared by the detection tests and the detection benchmark, so it needs no test framework.
std::vector<TruthImage> read_truth(const std::filesystem::path& folder);

}  // namespace orvalt::testing
