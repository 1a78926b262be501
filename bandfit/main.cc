// The bandfit program: read the deck, check it, refine once, write the
// report, the line table and the line list (fort.26 and fort.8, or the files
// of --report and --list); with --results, the results as
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
#include "recordio/recordio.h"
#include "run/cli.h"
#include "run/file_roles.h"
#include "run/output_lock.h"
#include "run/picture_file.h"

namespace {

constexpr cli::Program kProgram{
    "bandfit",
    "[--report FILE] [--list FILE] [--plot FILE] [--results FILE] [--deck-out FILE] < DECK",
    "Fits molecular constants to observed rovibrational line positions: reads a\n"
    "line-list deck on standard input, makes one weighted least-squares\n"
    "correction of the flagged parameters and writes the report (fort.26) and\n"
    "the line list (fort.8) in the current directory.\n"
    "\n"
    "  --report FILE    the report to FILE instead of fort.26\n"
    "  --list FILE      the line list to FILE instead of fort.8\n"
    "  --plot FILE      after a correction, write a residual plot (calculated minus\n"
    "                   observed against lower-state J) to FILE: .png, .pdf, .svg or .ps\n"
    "  --results FILE   write the outcome, the parameters with their old and new\n"
    "                   values, the correlation matrix and the line table to FILE\n"
    "                   as one JSON object, also when no correction was made\n"
    "  --deck-out FILE  after a correction, write the deck again to FILE with the\n"
    "                   fitted parameters at their new values (the next run's input)\n"
    "  -h, --help       print this text and exit\n"
    "  -V, --version    print the name and release and exit\n"
    "Options may be abbreviated and take their value as --opt FILE or --opt=FILE.\n"
    "\n"
    "Exit status: 0 after a correction or a prediction run (every flag 0); 1 when\n"
    "the deck is refused, no correction was made, another run writes the same\n"
    "outputs in this folder, an output could not be written or SIGINT, SIGTERM\n"
    "or SIGHUP ended the run (the reason on standard error);\n"
    "2 for a usage error; 134 when the deck cannot be read (a malformed value, a\n"
    "deck cut short, a read error: the run-time report on standard error, then\n"
    "an abort) or SIGQUIT ended the run.\n"};

// The files the options name; empty for none.
struct Options {
  std::string report_file = "fort.26";  // --report
  std::string list_file = "fort.8";     // --list
  std::string plot_file;     // --plot
  std::string results_file;  // --results
  std::string deck_file;     // --deck-out
};

Options parse(int argc, char** argv) {
  static constexpr cli::Option kOptions[] = {
      {"report", "a file name"}, {"list", "a file name"},     {"plot", "a file name"},
      {"results", "a file name"}, {"deck-out", "a file name"},
  };
  Options o;
  cli::CommandLine line(kProgram, kOptions, argc, argv);
  while (const auto given = line.next()) {
    const std::string value(given->value);
    if (given->name == "report") o.report_file = value;
    if (given->name == "list") o.list_file = value;
    if (given->name == "results") o.results_file = value;
    if (given->name == "deck-out") o.deck_file = value;
    if (given->name == "plot") {
      if (recordio::picture_type(value).empty()) {
        cli::usage_error(kProgram, "--plot file '" + value + "' must end in .png, .pdf, .svg or .ps");
      }
      o.plot_file = value;
    }
  }
  line.no_operands();
  // No output may be an input or another output: the deck on standard
  // input, when it is a file, or the report written over by the results.
  const auto named = [](const std::string& file, const char* option, const char* fixed) {
    return file == fixed ? std::string("the ") + (option + 2) : std::string(option);
  };
  std::vector<cli::FileRole> files = {
      {named(o.report_file, "--report", "fort.26"), "the report", o.report_file, true},
      {named(o.list_file, "--list", "fort.8"), "the line list", o.list_file, true},
      {"--results", "the --results file", o.results_file, true},
      {"--deck-out", "the next deck", o.deck_file, true},
      {"--plot", "the residual plot", o.plot_file, true},
      {"standard input", "the deck on standard input", "", false, 0},
  };
  if (const std::string same = cli::clash(files); !same.empty()) cli::usage_error(kProgram, same);
  return o;
}

void bandfit_main(const Options& options) {
  // One run per folder writes the report, the list and the named outputs:
  // a second one with any of them is refused before it reads the deck.
  std::vector<std::string> outputs = {options.report_file, options.list_file};
  for (const std::string& named : {options.results_file, options.deck_file}) {
    if (!named.empty()) outputs.push_back(named);
  }
  const recordio::OutputLock lock(outputs);
  if (!lock.ok()) recordio::fail(lock.error());
  // Opened at their first record, as fort.26 and fort.8 are: a refused deck
  // leaves an earlier report and list as they were.
  recordio::name_new(bandfit::kReport, options.report_file);
  recordio::name_new(bandfit::kList, options.list_file);
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
  if (out.kind == bandfit::Outcome::overflow) {
    recordio::fail("no correction was made: " + bandfit::overflow_text(*deck, summary));
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
  // The command line is read inside the run, after the signal handlers.
  return recordio::run(argc, argv, [&] { bandfit_main(parse(argc, argv)); });
}
