// The one way an enumeration is written as text: a table of its cases and
// the texts that stand for them in stored files, JSON and wire formats (the
// raw values), written once per enumeration. The text of a case, the case of
// a text and the list of cases in order all come from the table.
//
//   inline constexpr auto table = textTable<ListenMode>({{ListenMode::normal, "normal"}, ...});
//
// Pure and immutable; any thread may use it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace qm {

template <class E, std::size_t N>
class TextTable {
public:
    using Row = std::pair<E, std::string_view>;

    constexpr explicit TextTable(const Row (&rows)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            values_[i] = rows[i].first;
            texts_[i] = rows[i].second;
        }
    }

    // Every case, in the table's order.
    constexpr const std::array<E, N>& values() const { return values_; }

    // The text of `value`; empty for a value the table lacks.
    constexpr std::string_view text(E value) const {
        for (std::size_t i = 0; i < N; ++i)
            if (values_[i] == value) return texts_[i];
        return {};
    }

    // The case whose text is exactly `text`, if there is one.
    constexpr std::optional<E> value(std::string_view text) const {
        for (std::size_t i = 0; i < N; ++i)
            if (texts_[i] == text) return values_[i];
        return std::nullopt;
    }

private:
    std::array<E, N> values_{};
    std::array<std::string_view, N> texts_{};
};

template <class E, std::size_t N>
constexpr TextTable<E, N> textTable(const std::pair<E, std::string_view> (&rows)[N]) {
    return TextTable<E, N>(rows);
}

}  // namespace qm
