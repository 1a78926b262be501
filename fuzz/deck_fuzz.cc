// The bandfit deck reader and its checks on an arbitrary deck, read from
// unit 5 as the program does (the input is put in place of standard input),
// and the same bytes read from memory as the Python module reads a deck:
// that reader must fault exactly where the program ends, and fill the same
// deck where it does not.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/deck.h"
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::write_file("deck.in",
                      std::string_view(reinterpret_cast<const char*>(data), size));
  if (std::freopen("deck.in", "r", stdin) == nullptr) std::abort();
  // A fresh deck for every input: nothing passes from one run to the next.
  const auto deck = std::make_unique<bandfit::Deck>();
  bool read = false;
  fuzzing::run_one([&] {
    bandfit::read_deck(*deck);
    read = true;
    (void)bandfit::deck_fault(*deck);
  });
  const auto text_deck = std::make_unique<bandfit::Deck>();
  std::vector<std::string> warnings;
  const std::string fault = bandfit::read_deck(
      std::string_view(reinterpret_cast<const char*>(data), size), *text_deck, warnings);
  if (fault.empty() != read) std::abort();
  if (read && std::memcmp(deck.get(), text_deck.get(), sizeof(bandfit::Deck)) != 0) std::abort();
  return 0;
}
