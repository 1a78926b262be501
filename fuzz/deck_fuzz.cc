// The bandfit deck reader and its checks on an arbitrary deck, read from
// unit 5 as the program does (the input is put in place of standard input).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "bandfit/deck.h"
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::write_file("deck.in",
                      std::string_view(reinterpret_cast<const char*>(data), size));
  if (std::freopen("deck.in", "r", stdin) == nullptr) std::abort();
  // A fresh deck for every input: nothing passes from one run to the next.
  const auto deck = std::make_unique<bandfit::Deck>();
  fuzzing::run_one([&] {
    bandfit::read_deck(*deck);
    (void)bandfit::deck_fault(*deck);
  });
  return 0;
}
