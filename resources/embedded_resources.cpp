#include "resources/embedded_resources.h"

#include <iterator>

// Generated at build time from resources/font_atlas.bin.
extern const uint8_t fontAtlasBytes[];
extern const uint32_t fontAtlasBytesSize;

namespace {
const EmbeddedResource programResources[] = {
    {101, fontAtlasBytes, fontAtlasBytesSize},
};
}  // namespace

EmbeddedResourceTable embeddedResources = {programResources,
                                           static_cast<int32_t>(std::size(programResources))};

const EmbeddedResource* findEmbeddedResource(uint16_t id) {
  if (embeddedResources.entries == nullptr) return nullptr;
  for (int32_t i = 0; i < embeddedResources.count; ++i)
    if (embeddedResources.entries[i].id == id) return &embeddedResources.entries[i];
  return nullptr;
}
