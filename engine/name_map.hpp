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

}  // namespace detail

template <typename Value>
using NameMap = std::unordered_map<std::string, Value, detail::NameHash>;

namespace detail {

// Looks `key` up in any map with find(); a miss throws std::out_of_range with the engine's own message
// (the standard library's at() words it differently on some platforms).
template <typename Map, typename Key>
const typename Map::mapped_type& lookup(const Map& map, const Key& key) {
    const auto found = map.find(key);
    if (found == map.end()) throw std::out_of_range(messages::missing_key);
    return found->second;
}

}  // namespace detail
}  // namespace exprkit
