// The bandfit deck reader and its checks on an arbitrary deck, read from
// unit 5 as the program does (the input is put in place of standard input).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/model.h"
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bandfit::Deck deck;
  fuzzing::write_file("deck.in",
                      std::string_view(reinterpret_cast<const char*>(data), size));
  if (std::freopen("deck.in", "r", stdin) == nullptr) std::abort();
  deck = bandfit::Deck{};
  bandfit::line_block = bandfit::LineBlock{};
  fuzzing::run_one([] {
    bandfit::read_deck(deck);
    (void)bandfit::deck_fault(deck);
  });
  return 0;
}
