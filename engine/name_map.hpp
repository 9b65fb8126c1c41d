// The hash map from a name (a byte string) to a value that every table of the engine uses, and the
// one lookup that reports a missing name with the engine's own std::out_of_range message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "errors.hpp"

namespace exprkit {
namespace detail {

// FNV-1a over the name's bytes: names are short, and this costs far less per lookup than the
// standard library's general-purpose string hash.
struct NameHash {
    std::size_t operator()(std::string_view name) const noexcept {
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : name) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ull;
        }
        return static_cast<std::size_t>(hash);
    }
};

// Byte-for-byte equality of names, compared inline: names are short, and the library call that a
// general string comparison makes costs more than the comparison itself.
struct NameEqual {
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
};

}  // namespace detail

template <typename Value>
using NameMap = std::unordered_map<std::string, Value, detail::NameHash, detail::NameEqual>;

namespace detail {

// The entry named `key`, or null. A table of a few names is scanned, which is cheaper than hashing the
// name and dividing by the bucket count; a larger one is searched by hash.
template <typename Map>
auto find_name(Map& map, const std::string& key) -> decltype(&map.begin()->second) {
    constexpr std::size_t scan_limit = 8;
    if (map.size() <= scan_limit) {
        for (auto& entry : map) {
            if (NameEqual{}(entry.first, key)) return &entry.second;
        }
        return nullptr;
    }
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

// The value named `key`; a miss throws std::out_of_range with the engine's own message (the standard
// library's at() words it differently on some platforms).
template <typename Map>
const typename Map::mapped_type& lookup(const Map& map, const std::string& key) {
    const auto* found = find_name(map, key);
    if (found == nullptr) throw std::out_of_range(messages::missing_key);
    return *found;
}

}  // namespace detail
}  // namespace exprkit
