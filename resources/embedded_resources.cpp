#include "resources/embedded_resources.h"

#include <iterator>

// Generated at build time from resources/font_atlas.bin.
extern const uint8_t fontAtlasBytes[];
extern const uint32_t fontAtlasBytesSize;

namespace {
const EmbeddedResource programResources[] = {
    {101, fontAtlasBytes, fontAtlasBytesSize},
};
const EmbeddedResourceTable programTable = {programResources,
                                            static_cast<int32_t>(std::size(programResources))};
const EmbeddedResourceTable* resources = &programTable;
}  // namespace

void setEmbeddedResources(const EmbeddedResourceTable* table) { resources = table ? table : &programTable; }

const EmbeddedResource* findEmbeddedResource(uint16_t id) {
  if (resources->entries == nullptr) return nullptr;
  for (int32_t i = 0; i < resources->count; ++i)
    if (resources->entries[i].id == id) return &resources->entries[i];
  return nullptr;
}
