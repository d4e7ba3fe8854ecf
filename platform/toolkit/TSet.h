#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <type_traits>

// A set of an unscoped enumeration: bit i stands for the member with ordinal i, held in a fixed
// unsigned width (Storage) so a set has the same raw bits on every platform and in stored data.
template <typename Enum, typename Storage = uint8_t> class TSet {
    static_assert(std::is_enum_v<Enum>, "TSet holds enumeration members");
    static_assert(std::is_unsigned_v<Storage>, "TSet storage is an unsigned integer");

  public:
    static constexpr unsigned Capacity = sizeof(Storage) * 8;

    constexpr TSet() noexcept = default;
    constexpr TSet(std::initializer_list<Enum> members) noexcept {
        for (Enum m : members)
            FBits |= Bit(m);
    }

    static constexpr TSet FromBits(Storage bits) noexcept {
        TSet s;
        s.FBits = bits;
        return s;
    }
    constexpr Storage Bits() const noexcept { return FBits; }

    constexpr bool Contains(Enum m) const noexcept { return (FBits & Bit(m)) != 0; }
    constexpr bool Empty() const noexcept { return FBits == 0; }
    constexpr unsigned Count() const noexcept {
        unsigned n = 0;
        for (Storage b = FBits; b; b &= static_cast<Storage>(b - 1))
            ++n;
        return n;
    }

    constexpr TSet& Include(Enum m) noexcept {
        FBits |= Bit(m);
        return *this;
    }
    constexpr TSet& Exclude(Enum m) noexcept {
        FBits &= static_cast<Storage>(~Bit(m));
        return *this;
    }

    constexpr TSet operator+(TSet o) const noexcept {
        return FromBits(static_cast<Storage>(FBits | o.FBits));
    }
    constexpr TSet operator-(TSet o) const noexcept {
        return FromBits(static_cast<Storage>(FBits & ~o.FBits));
    }
    constexpr TSet operator*(TSet o) const noexcept {
        return FromBits(static_cast<Storage>(FBits & o.FBits));
    }
    constexpr TSet& operator+=(TSet o) noexcept {
        FBits |= o.FBits;
        return *this;
    }
    constexpr TSet& operator-=(TSet o) noexcept {
        FBits &= static_cast<Storage>(~o.FBits);
        return *this;
    }
    constexpr TSet& operator*=(TSet o) noexcept {
        FBits &= o.FBits;
        return *this;
    }
    constexpr bool operator==(const TSet&) const noexcept = default;
    // Subset test, as "a <= b" reads for sets.
    constexpr bool operator<=(TSet o) const noexcept { return (FBits & ~o.FBits) == 0; }

    // Iterates the members in ordinal order.
    class const_iterator {
      public:
        using value_type = Enum;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;
        constexpr const_iterator() noexcept = default;
        constexpr const_iterator(Storage bits, unsigned pos) noexcept : FBits(bits), FPos(pos) { Skip(); }
        constexpr Enum operator*() const noexcept { return static_cast<Enum>(FPos); }
        constexpr const_iterator& operator++() noexcept {
            ++FPos;
            Skip();
            return *this;
        }
        constexpr const_iterator operator++(int) noexcept {
            auto t = *this;
            ++*this;
            return t;
        }
        constexpr bool operator==(const const_iterator& o) const noexcept { return FPos == o.FPos; }

      private:
        constexpr void Skip() noexcept {
            while (FPos < Capacity && !((FBits >> FPos) & 1u))
                ++FPos;
        }
        Storage FBits = 0;
        unsigned FPos = Capacity;
    };
    constexpr const_iterator begin() const noexcept { return const_iterator(FBits, 0); }
    constexpr const_iterator end() const noexcept { return const_iterator(FBits, Capacity); }

  private:
    static constexpr Storage Bit(Enum m) noexcept {
        return static_cast<Storage>(Storage{1} << static_cast<unsigned>(m));
    }
    Storage FBits = 0;
};
