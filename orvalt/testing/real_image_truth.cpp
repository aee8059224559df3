#include "orvalt/testing/real_image_truth.hpp"

#include <fstream>
#include <sstream>
#include <string>

namespace orvalt::testing {

std::vector<TruthImage> read_truth(const std::filesystem::path& folder) {
  std::ifstream in(folder / "truth.txt");
  std::vector<TruthImage> images;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, border;
    fields >> name >> border;
    TruthImage image{folder / name, border == "b2" ? 2 : 1, {}};
    for (int id; fields >> id;) image.ids.push_back(id);
    images.push_back(std::move(image));
  }
  return images;
}

}  // namespace orvalt::testing
