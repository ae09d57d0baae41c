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

// The program's resources. Tests may point it at a table of their own.
extern EmbeddedResourceTable embeddedResources;

// The resource with this id, or nullptr when the program carries none.
const EmbeddedResource* findEmbeddedResource(uint16_t id);
