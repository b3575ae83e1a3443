// A small open-addressing hash map from 64-bit ids to values, used for the
// writer's id lookups (gene -> leaf, family -> count, gene -> slot). It is
// only looked up and inserted into, never iterated where the order could
// reach a result; `for_each` visits entries in unspecified order and is used
// only for order-free sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace korvath {

template <class Value>
class FlatMap {
public:
    explicit FlatMap(std::size_t expected = 0) { reserve(expected); }

    std::size_t size() const { return count_ + (has_empty_key_ ? 1 : 0); }

    void reserve(std::size_t expected) {
        std::size_t wanted = 16;
        while (wanted < expected * 2) wanted *= 2;
        if (wanted > keys_.size()) rehash(wanted);
    }

    const Value* find(std::uint64_t key) const {
        if (key == kEmpty) return has_empty_key_ ? &empty_key_value_ : nullptr;
        std::size_t mask = keys_.size() - 1;
        for (std::size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
            if (keys_[i] == key) return &values_[i];
            if (keys_[i] == kEmpty) return nullptr;
        }
    }

    Value* find(std::uint64_t key) {
        return const_cast<Value*>(static_cast<const FlatMap*>(this)->find(key));
    }

    // The value under `key`, inserted as Value{} when absent.
    Value& operator[](std::uint64_t key) {
        if (key == kEmpty) {
            if (!has_empty_key_) {
                has_empty_key_ = true;
                empty_key_value_ = Value{};
            }
            return empty_key_value_;
        }
        if ((count_ + 1) * 2 > keys_.size()) rehash(keys_.size() * 2);
        std::size_t mask = keys_.size() - 1;
        std::size_t i = slot_of(key, mask);
        while (keys_[i] != key) {
            if (keys_[i] == kEmpty) {
                keys_[i] = key;
                values_[i] = Value{};
                ++count_;
                break;
            }
            i = (i + 1) & mask;
        }
        return values_[i];
    }

    // The value under `key` and whether it was inserted just now (as
    // `value_if_new`); one probe sequence for both the lookup and the insert.
    std::pair<Value*, bool> try_insert(std::uint64_t key, const Value& value_if_new) {
        if (key == kEmpty) {
            if (has_empty_key_) return {&empty_key_value_, false};
            has_empty_key_ = true;
            empty_key_value_ = value_if_new;
            return {&empty_key_value_, true};
        }
        if ((count_ + 1) * 2 > keys_.size()) rehash(keys_.size() * 2);
        std::size_t mask = keys_.size() - 1;
        for (std::size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
            if (keys_[i] == key) return {&values_[i], false};
            if (keys_[i] == kEmpty) {
                keys_[i] = key;
                values_[i] = value_if_new;
                ++count_;
                return {&values_[i], true};
            }
        }
    }

    template <class Visit>
    void for_each(Visit visit) const {
        if (has_empty_key_) visit(kEmpty, empty_key_value_);
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] != kEmpty) visit(keys_[i], values_[i]);
        }
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    static std::size_t slot_of(std::uint64_t key, std::size_t mask) {
        // SplitMix64 finaliser: spreads consecutive ids over the table.
        std::uint64_t z = key + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<std::size_t>(z) & mask;
    }

    void rehash(std::size_t capacity) {
        std::vector<std::uint64_t> old_keys(capacity, kEmpty);
        std::vector<Value> old_values(capacity);
        old_keys.swap(keys_);
        old_values.swap(values_);
        std::size_t mask = capacity - 1;
        for (std::size_t j = 0; j < old_keys.size(); ++j) {
            if (old_keys[j] == kEmpty) continue;
            std::size_t i = slot_of(old_keys[j], mask);
            while (keys_[i] != kEmpty) i = (i + 1) & mask;
            keys_[i] = old_keys[j];
            values_[i] = std::move(old_values[j]);
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<Value> values_;
    std::size_t count_ = 0;
    bool has_empty_key_ = false;
    Value empty_key_value_{};
};

}  // namespace korvath
