// The bandfit program: read the deck, check it, refine once, write the
// line table and the line list.
#include <memory>

#include "bandfit/deck.h"
#include "bandfit/refine.h"
#include "recordio/recordio.h"

namespace {

void bandfit_main() {
  // The run's storage in one object (about 0.3 MB), made once.
  struct Run {
    bandfit::Deck deck;
    bandfit::Refinement work;
  };
  const auto run = std::make_unique<Run>();
  bandfit::read_deck(run->deck);
  // Refused before the first write, so a bad deck leaves no report behind.
  if (const bandfit::Fault fault = bandfit::deck_fault(run->deck); !fault.empty()) {
    recordio::fail(fault.view());
  }
  // The report already tells how the refinement ended; the table follows in
  // every case.
  (void)bandfit::refine(run->deck, run->work);
  bandfit::write_table(run->deck);
}

}  // namespace

int main(int argc, char** argv) { return recordio::run(argc, argv, bandfit_main); }
