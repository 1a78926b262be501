// The bandfit program: read the deck, check it, refine once, write the
// line table and the line list; with --plot, draw the residuals of a
// correction.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/deck.h"
#include "bandfit/plot.h"
#include "bandfit/refine.h"
#include "recordio/cli.h"
#include "recordio/picture_file.h"
#include "recordio/recordio.h"

namespace {

constexpr cli::Program kProgram{
    "bandfit", "[--plot FILE] < DECK",
    "Reads a line-list deck on standard input, makes one weighted least-squares\n"
    "correction of the flagged parameters and writes the report fort.26 and the\n"
    "line list fort.8 in the current directory.\n"
    "\n"
    "  --plot FILE  after a correction, write a residual plot (calculated minus\n"
    "               observed against lower-state J) to FILE: .png, .pdf, .svg or .ps\n"
    "  --help       print this text and exit\n"
    "  --version    print the name and release and exit\n"
    "\n"
    "Exit status: 0 after a correction or a prediction run (every flag 0); 1 when\n"
    "the deck is refused or no correction was made (the reason on standard error);\n"
    "2 for a usage error.\n"};

// The file --plot names for the residual plot; empty for none.
std::string parse(int argc, char** argv) {
  std::string plot_file;
  const std::vector<std::string_view> args = cli::arguments(kProgram, argc, argv);
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string_view a = args[k];
    if (a == "--plot") {
      if (k + 1 == args.size()) cli::usage_error(kProgram, "--plot needs a file name");
      plot_file = args[++k];
      if (recordio::picture_type(plot_file).empty()) {
        cli::usage_error(kProgram,
                         "--plot file '" + plot_file + "' must end in .png, .pdf, .svg or .ps");
      }
    } else {
      cli::usage_error(kProgram,
                       (a.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                           std::string(a) + "'");
    }
  }
  return plot_file;
}

void bandfit_main(const std::string& plot_file) {
  // The run's storage, made once: the deck (about 40 kB) on the heap, the
  // refinement's work storage and its summary (about 150 and 170 kB),
  // zero-initialised, in static storage initialised at compile time
  // (constinit), so that no code clears them at start and a run touches
  // only the pages it uses.
  const auto deck = std::make_unique<bandfit::Deck>();
  constinit static bandfit::Refinement work;
  constinit static bandfit::Summary summary;
  bandfit::read_deck(*deck);
  // Refused before the first write, so a bad deck leaves no report behind.
  if (const std::string fault = bandfit::deck_fault(*deck); !fault.empty()) {
    recordio::fail(fault);
  }
  // Solve, then report: the report tells how the refinement ended; the
  // table follows in every case. A run that should have corrected and did
  // not says so and fails.
  bandfit::refine(*deck, work, summary);
  bandfit::report_refinement(*deck, summary);
  bandfit::write_table(*deck, summary);
  const bandfit::Outcome& out = summary.outcome;
  if (const std::string_view why = bandfit::why_uncorrected(out); !why.empty()) {
    recordio::fail("no correction was made: " + std::string(why));
  }
  if (!plot_file.empty() && out.kind == bandfit::Outcome::completed) {
    // The report and the list are complete: on disk before the plotting.
    recordio::close(bandfit::kReport);
    recordio::close(bandfit::kList);
    bandfit::plot_residuals(plot_file, *deck, summary);  // a failure is said, status 1
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string plot_file = parse(argc, argv);
  return recordio::run(argc, argv, [&] { bandfit_main(plot_file); });
}
