// The worked examples of docs/formats.md, run through the real programs.
//
// A fenced block whose info string carries example=NAME belongs to the run
// NAME: the `sh` block is the command ("program [args] [< in] [> out]",
// status=N; the arguments are words without quoting),
// input=FILE blocks are written into a scratch directory first, and each
// output=FILE block is compared with what the run left: FILE, or stdout and
// stderr. An output block is the whole file, or with `head` its first
// lines, with `part` lines standing together somewhere in it; lines=N makes
// a file of N lines whose lines past those shown repeat the last one shown.
// The examples are read from the document itself, so it cannot drift from
// the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/programs.h"

namespace {

using namespace testing_support;  // the test helpers: run_in, read_file, ...

struct Block {
  std::string language;
  std::map<std::string, std::string> tags;  // key=value, or key alone with ""
  std::string body;                          // every line with its newline
  int line = 0;                              // of the opening fence
};

// Every fenced block of the document that belongs to an example.
std::vector<Block> example_blocks(const std::string& text) {
  std::vector<Block> blocks;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.rfind("```", 0) != 0 || line.size() == 3) continue;
    Block b;
    b.line = number;
    std::istringstream info(line.substr(3));
    info >> b.language;
    for (std::string tag; info >> tag;) {
      const auto eq = tag.find('=');
      b.tags[tag.substr(0, eq)] = eq == std::string::npos ? "" : tag.substr(eq + 1);
    }
    for (++number; std::getline(in, line) && line != "```"; ++number) b.body += line + "\n";
    if (b.tags.count("example") != 0) blocks.push_back(b);
  }
  return blocks;
}

const std::vector<Block>& blocks() {
  static const std::vector<Block> all = example_blocks(read_file(FORMATS_MD));
  return all;
}

// The block's content, grown to lines=N by repeating its last line.
std::string expand(const Block& b) {
  if (b.tags.count("lines") == 0 || b.body.empty()) return b.body;
  const int want = std::stoi(b.tags.at("lines"));
  std::string text = b.body;
  const std::string last = b.body.substr(b.body.rfind('\n', b.body.size() - 2) + 1);
  for (int have = static_cast<int>(std::count(text.begin(), text.end(), '\n')); have < want;
       ++have) {
    text += last;
  }
  return text;
}

// Whether `shown` matches `got` in the way the block's tags say.
bool matches(const Block& b, const std::string& got) {
  const std::string shown = expand(b);
  if (b.tags.count("head") != 0) return got.rfind(shown, 0) == 0;
  if (b.tags.count("part") != 0)
    return got.rfind(shown, 0) == 0 || got.find("\n" + shown) != std::string::npos;
  return got == shown;
}

class WorkedExample : public ::testing::TestWithParam<std::string> {};

TEST_P(WorkedExample, ProgramWritesWhatTheDocumentShows) {
  std::vector<const Block*> inputs, outputs;
  const Block* command = nullptr;
  for (const Block& b : blocks()) {
    if (b.tags.at("example") != GetParam()) continue;
    if (b.language == "sh") command = &b;
    if (b.tags.count("input") != 0) inputs.push_back(&b);
    if (b.tags.count("output") != 0) outputs.push_back(&b);
  }
  ASSERT_NE(command, nullptr) << "no command block";
  ASSERT_FALSE(outputs.empty()) << "no output block";

  std::istringstream words(command->body);
  std::string program, word, stdin_name, stdout_name = "stdout";
  std::vector<std::string> args;
  words >> program;
  while (words >> word) {
    if (word == "<") words >> stdin_name;
    else if (word == ">") words >> stdout_name;
    else args.push_back(word);
  }
  ASSERT_EQ(kPrograms.count(program), 1u) << "line " << command->line << ": " << program;

  const TempDir work;
  std::map<std::string, std::string> given;
  for (const Block* b : inputs) {
    given[b->tags.at("input")] = expand(*b);
    write_file(work.path() / b->tags.at("input"), given[b->tags.at("input")]);
  }
  ASSERT_TRUE(stdin_name.empty() || given.count(stdin_name) == 1) << stdin_name << " not shown";
  const Outcome o = run({.program = kPrograms.at(program),
                         .args = args,
                         .env = {"DISPLAY"},  // momfit without its window
                         .dir = work.path(),
                         .input = stdin_name.empty() ? "" : given[stdin_name]});

  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(std::to_string(o.exit_status), command->tags.count("status") != 0
                                                ? command->tags.at("status")
                                                : "0");
  for (const Block* b : outputs) {
    const std::string& name = b->tags.at("output");
    const std::string got = name == stdout_name ? o.out
                            : name == "stderr"  ? o.err
                                                : read_file(work.path() / name);
    EXPECT_TRUE(matches(*b, got)) << "line " << b->line << ": " << name << " does not hold\n"
                                  << expand(*b) << "--- the run wrote ---\n"
                                  << got.substr(0, 4000);
  }
}

std::vector<std::string> examples() {
  std::set<std::string> names;
  for (const Block& b : blocks()) names.insert(b.tags.at("example"));
  return {names.begin(), names.end()};
}

INSTANTIATE_TEST_SUITE_P(Formats, WorkedExample, ::testing::ValuesIn(examples()),
                         [](const auto& info) { return info.param; });

// The document has a worked example for every program.
TEST(Formats, EveryProgramHasAWorkedExample) {
  std::set<std::string> missing;
  for (const auto& [name, path] : kPrograms) missing.insert(name);
  for (const Block& b : blocks()) {
    if (b.language == "sh") missing.erase(b.body.substr(0, b.body.find_first_of(" \n")));
  }
  EXPECT_TRUE(missing.empty()) << "no example for " << *missing.begin();
}

}  // namespace
