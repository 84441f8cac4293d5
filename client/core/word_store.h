// The words Tab completes from: identifiers that a console's own output and the lines typed to
// it have shown, kept per template name beside the history (STATE/quillaret/words/KEY), most
// recent first and at most kWordStoreWords of them. No protocol change: the words come from
// lines already received or sent.
//
// What is learned from a line (LearnWords): every identifier (a letter or '_', then letters,
// digits and '_', ASCII) of at least three characters that looks like code rather than prose:
// one followed by "(" (a call: it completes with the "("), one that follows a '.' (a member),
// and one with '_' or a digit after its first character or a capital after a small letter
// (max_hp, hp2, GetHealth).
// Plain words of prose ("the", "health") and the console's own tags (QC_OK, ...) are not
// learned. A name once seen as a call stays a call.
//
// The file is the history's format and habits: one word a line (a call ends in "("), oldest
// first, each new or renewed word appended with one write, so that the terminal client and the
// web console (or two sessions) can keep one file without a lock; LoadWords keeps each word's
// last line and rewrites a file grown past twice the bound. A WordStore belongs to one thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qc::attach {

constexpr std::size_t kWordStoreWords = 2000;
// A word seen again is appended to the file again (to keep its recency across sessions) only
// when it has fallen out of the newest kWordRenewal words, so chatty output writes little.
constexpr std::size_t kWordRenewal = 64;

struct WordStore {
  std::string path;                // the file; "" keeps the words in memory only
  std::vector<std::string> words;  // most recent first; a call ends in "("
  std::size_t fileLines = 0;       // lines in the file, as far as this store knows
};

// STATE/quillaret/words/KEY, KEY written as the history's file names are; "" when there is no
// state folder.
std::string WordsPath(const std::string& stateFolder, const std::string& key);

// Reads the words of path into store (emptied first); a missing file is an empty store. A file
// of more than twice kWordStoreWords lines is rewritten with the words kept.
void LoadWords(WordStore& store, const std::string& path);

// Writes every word of the store to its file at once (oldest first). True when it is in place.
bool SaveWords(WordStore& store);

// Learns the identifiers of one line (see above), the newest first, and appends to the file the
// ones that are new or renewed. The number of words new to the store.
std::size_t LearnWords(WordStore& store, std::string_view line);

// The words that begin with prefix (an identifier's beginning, or "" for all), most recent
// first, appended to out. Their number.
std::size_t CompleteWord(const WordStore& store, std::string_view prefix,
                         std::vector<std::string>& out);

// Where a word from the store may be completed in the line typed so far: the identifier
// fragment that ends it begins at start. Such a fragment completes at the start of a word
// (after the line's start, a space or any character that is not part of a name) and after a
// '.', as in "[this].Ge" and "[that](3).Ge"; not after a digit (a number) nor inside the
// console's own "[...]" commands. False when no fragment may be completed there.
bool FindWordToComplete(std::string_view lineSoFar, std::size_t& start);

}  // namespace qc::attach
