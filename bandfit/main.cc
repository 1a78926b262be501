// The bandfit program: read the deck, check it, refine once, write the
// report, the line table and the line list; with --results, the results as
// JSON; with --deck-out, the corrected deck; with --plot, the residuals of a
// correction.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/deck.h"
#include "bandfit/plot.h"
#include "bandfit/refine.h"
#include "bandfit/results.h"
#include "recordio/cli.h"
#include "recordio/output_lock.h"
#include "recordio/picture_file.h"
#include "recordio/recordio.h"

namespace {

constexpr cli::Program kProgram{
    "bandfit", "[--plot FILE] [--results FILE] [--deck-out FILE] < DECK",
    "Reads a line-list deck on standard input, makes one weighted least-squares\n"
    "correction of the flagged parameters and writes the report fort.26 and the\n"
    "line list fort.8 in the current directory.\n"
    "\n"
    "  --plot FILE      after a correction, write a residual plot (calculated minus\n"
    "                   observed against lower-state J) to FILE: .png, .pdf, .svg or .ps\n"
    "  --results FILE   write the outcome, the parameters with their old and new\n"
    "                   values, the correlation matrix and the line table to FILE\n"
    "                   as one JSON object, also when no correction was made\n"
    "  --deck-out FILE  after a correction, write the deck again to FILE with the\n"
    "                   fitted parameters at their new values (the next run's input)\n"
    "  --help           print this text and exit\n"
    "  --version        print the name and release and exit\n"
    "\n"
    "Exit status: 0 after a correction or a prediction run (every flag 0); 1 when\n"
    "the deck is refused, no correction was made or an output file could not be\n"
    "written (the reason on standard error); 2 for a usage error.\n"};

// The files the options name; empty for none.
struct Options {
  std::string plot_file;     // --plot
  std::string results_file;  // --results
  std::string deck_file;     // --deck-out
};

Options parse(int argc, char** argv) {
  Options o;
  const std::vector<std::string_view> args = cli::arguments(kProgram, argc, argv);
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string_view a = args[k];
    // "--name FILE" or "--name=FILE" into target; false when a is not --name.
    const auto take = [&](std::string_view name, std::string& target) {
      if (a.substr(0, name.size()) != name) return false;
      if (a.size() > name.size() && a[name.size()] == '=') {
        target = a.substr(name.size() + 1);
      } else if (a.size() == name.size() && k + 1 < args.size()) {
        target = args[++k];
      } else if (a.size() == name.size()) {
        cli::usage_error(kProgram, std::string(name) + " needs a file name");
      } else {
        return false;
      }
      if (target.empty()) cli::usage_error(kProgram, std::string(name) + " needs a file name");
      return true;
    };
    if (take("--plot", o.plot_file)) {
      if (recordio::picture_type(o.plot_file).empty()) {
        cli::usage_error(kProgram,
                         "--plot file '" + o.plot_file + "' must end in .png, .pdf, .svg or .ps");
      }
    } else if (!take("--results", o.results_file) && !take("--deck-out", o.deck_file)) {
      cli::usage_error(kProgram,
                       (a.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                           std::string(a) + "'");
    }
  }
  return o;
}

void bandfit_main(const Options& options) {
  // One run per folder writes the report, the list and the named outputs:
  // a second one with any of them is refused before it reads the deck.
  std::vector<std::string> outputs = {"fort.26", "fort.8"};
  for (const std::string& named : {options.results_file, options.deck_file}) {
    if (!named.empty()) outputs.push_back(named);
  }
  const recordio::OutputLock lock(outputs);
  if (!lock.ok()) recordio::fail(lock.error());
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
  // The files for scripts: the results in every case, the next deck only
  // from a correction.
  if (!options.results_file.empty()) {
    bandfit::replace_file(options.results_file, bandfit::results_json(*deck, summary));
  }
  if (!options.deck_file.empty() && out.kind == bandfit::Outcome::completed) {
    bandfit::replace_file(options.deck_file, bandfit::corrected_deck(*deck, summary));
  }
  if (const std::string_view why = bandfit::why_uncorrected(out); !why.empty()) {
    recordio::fail("no correction was made: " + std::string(why));
  }
  if (!options.plot_file.empty() && out.kind == bandfit::Outcome::completed) {
    // The report and the list are complete: on disk before the plotting.
    recordio::close(bandfit::kReport);
    recordio::close(bandfit::kList);
    bandfit::plot_residuals(options.plot_file, *deck, summary);  // a failure is said, status 1
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  return recordio::run(argc, argv, [&] { bandfit_main(options); });
}
