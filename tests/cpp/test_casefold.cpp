#include "core/casefold.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace tarnwick {
namespace {

// The whole table is held against str.casefold for every code point by
// tests/python/test_reads.py; these pin the matching built on it.
struct Case {
  std::string_view text, folded;
  FoldMatch want;
};

class FoldMatchCases : public testing::TestWithParam<Case> {};

TEST_P(FoldMatchCases, ComparesTheFoldedTextWithAFoldedQuery) {
  const Case& c = GetParam();
  EXPECT_EQ(fold_match(c.text, c.folded), c.want) << c.text << " / " << c.folded;
  // The same verdict as folding the whole text first.
  const Text whole = casefold(c.text);
  const std::string_view w(whole);
  const FoldMatch by_whole = w == c.folded               ? FoldMatch::Equal
                             : w.starts_with(c.folded) ? FoldMatch::Prefix
                                                       : FoldMatch::None;
  EXPECT_EQ(by_whole, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FoldMatchCases,
    testing::Values(Case{"ANN", "ann", FoldMatch::Equal}, Case{"Anna", "ann", FoldMatch::Prefix},
                    Case{"Ann", "anna", FoldMatch::None}, Case{"Bob", "ann", FoldMatch::None},
                    Case{"", "", FoldMatch::Equal}, Case{"x", "", FoldMatch::Prefix},
                    Case{"", "x", FoldMatch::None},
                    Case{"Stra\xc3\x9f" "e", "strasse", FoldMatch::Equal},    // ß -> ss
                    Case{"Stra\xc3\x9f" "e", "stras", FoldMatch::Prefix},     // the query ends inside "ss"
                    Case{"\xc3\x9f", "ss", FoldMatch::Equal},
                    Case{"\xc3\x9f", "sss", FoldMatch::None},
                    Case{"\xc4\xb0lkay", "i\xcc\x87l", FoldMatch::Prefix},   // İ -> i + U+0307
                    Case{"\xc4\xb0lkay", "il", FoldMatch::None},
                    Case{"\xce\xa3\xce\x91\xcf\x82", "\xcf\x83\xce\xb1\xcf\x83", FoldMatch::Equal},  // ΣΑς
                    Case{"\xf0\x90\x90\x80", "\xf0\x90\x90\xa8", FoldMatch::Equal},  // Deseret, 4 bytes
                    Case{"\xef\xac\x81ona", "fi", FoldMatch::Prefix},        // the ﬁ ligature
                    Case{"\xc3\xa9t\xc3\xa9", "\xc3\xa9t", FoldMatch::Prefix},  // é: folds to itself
                    // Bytes that are not UTF-8 stand for themselves.
                    Case{"\xff" "A", "\xff" "a", FoldMatch::Equal}, Case{"a\xc3", "a\xc3", FoldMatch::Equal},
                    Case{"\xed\xa0\x80", "\xed\xa0\x80", FoldMatch::Equal}));

}  // namespace
}  // namespace tarnwick
