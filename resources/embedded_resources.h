#pragma once
#include <cstdint>

// Data compiled into the program, looked up by id.
struct EmbeddedResource {
  uint16_t id;
  const uint8_t* bytes;
  uint32_t size;
};

struct EmbeddedResourceTable {
  const EmbeddedResource* entries;
  int32_t count;
};

// The program's resources, or a table of a test's own; nullptr restores the
// program's.
void setEmbeddedResources(const EmbeddedResourceTable* table);

// The resource with this id, or nullptr when the program carries none.
const EmbeddedResource* findEmbeddedResource(uint16_t id);
