// The bandfit program: read the deck, check it, refine once, write the
// line table and the line list.
#include <memory>

#include "bandfit/deck.h"
#include "bandfit/refine.h"
#include "recordio/recordio.h"

namespace {

void bandfit_main() {
  // The run's storage, made once: the deck (about 47 kB) on the heap, the
  // refinement's zero-initialised work storage (about 280 kB) in static
  // storage initialised at compile time (constinit), so that no code clears
  // it at start and a run touches only the pages it uses.
  const auto deck = std::make_unique<bandfit::Deck>();
  constinit static bandfit::Refinement work;
  bandfit::read_deck(*deck);
  // Refused before the first write, so a bad deck leaves no report behind.
  if (const bandfit::Fault fault = bandfit::deck_fault(*deck); !fault.empty()) {
    recordio::fail(fault.view());
  }
  // The report already tells how the refinement ended; the table follows in
  // every case.
  (void)bandfit::refine(*deck, work);
  bandfit::write_table(*deck);
}

}  // namespace

int main(int argc, char** argv) { return recordio::run(argc, argv, bandfit_main); }
