#pragma once
// The field tree of one decoded datagram, for a details pane: layers in
// order, each with named fields and the bytes each field occupies.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/byte_reader.h"

namespace wirelens::dissect {

struct DissectField {
    std::string name;
    std::string value;
    std::uint32_t offset = 0;  // from the start of the IPv4 header
    std::uint32_t length = 0;
    std::uint8_t depth = 0;    // 1: belongs to the nearest field of depth 0 before it
};

struct DissectLayer {
    std::string title;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;  // bytes kept of the layer
    std::vector<DissectField> fields;
};

struct DissectTree {
    std::vector<DissectLayer> layers;
};

// Adds fields to a new layer whose bytes are `bytes`, lying at `base` in the
// datagram. A field not wholly inside the bytes kept is left out, so every
// range in a tree can be shown.
class LayerBuilder {
public:
    LayerBuilder(DissectTree& tree, std::string title, const ByteReader& bytes, std::uint32_t base)
        : mBytes(bytes), mBase(base) {
        tree.layers.push_back({std::move(title), base, static_cast<std::uint32_t>(bytes.Size()), {}});
        mLayer = &tree.layers.back();
    }

    // `offset` is relative to the layer. Returns whether the field was added.
    bool Add(std::string_view name, std::string value, std::size_t offset, std::size_t length,
             std::uint8_t depth = 0) {
        if (!mBytes.Has(offset, length)) return false;
        mLayer->fields.push_back({std::string(name), std::move(value),
                                  mBase + static_cast<std::uint32_t>(offset),
                                  static_cast<std::uint32_t>(length), depth});
        return true;
    }
    // A remark about the layer (a contradiction, a cut) covering no bytes.
    void Note(std::string_view name, std::string value) {
        mLayer->fields.push_back({std::string(name), std::move(value), mBase, 0, 0});
    }

private:
    ByteReader mBytes;
    std::uint32_t mBase;
    DissectLayer* mLayer = nullptr;
};

}  // namespace wirelens::dissect
