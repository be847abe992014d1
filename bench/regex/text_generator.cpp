// The text is built from sentences of common words, numbers and near misses
// (versions with one-digit parts, three-part dotted numbers, "name@host"
// without a dot, "scheme: //" without a host), with the counted items spread
// evenly through it. Neighbouring tokens never repeat a word, so the only
// doubled words are the ones placed on purpose.
#include "text_generator.h"

#include <cctype>
#include <vector>

namespace speckmend::bench {
namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 2862933555777941757ULL + 3037000493ULL) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }

private:
    std::uint64_t state_;
};

const char* const words[] = {
    "the",       "of",        "and",      "to",       "in",         "is",      "was",      "that",     "for",
    "it",        "with",      "as",       "his",      "on",         "be",      "at",       "by",       "this",
    "had",       "not",       "are",      "but",      "from",       "or",      "have",     "an",       "they",
    "which",     "one",       "you",      "were",     "her",        "all",     "she",      "there",    "would",
    "their",     "we",        "him",      "been",     "has",        "when",    "who",      "will",     "more",
    "no",        "if",        "out",      "so",       "said",       "what",    "up",       "its",      "about",
    "into",      "than",      "them",     "can",      "only",       "other",   "new",      "some",     "could",
    "time",      "these",     "two",      "may",      "then",       "do",      "first",    "any",      "my",
    "now",       "such",      "like",     "our",      "over",       "man",     "me",       "even",     "most",
    "made",      "after",     "also",     "did",      "many",       "before",  "must",     "through",  "back",
    "years",     "where",     "much",     "your",     "way",        "well",    "down",     "should",   "because",
    "each",      "just",      "those",    "people",   "how",        "too",     "little",   "state",    "good",
    "very",      "make",      "world",    "still",    "own",        "see",     "men",      "work",     "long",
    "get",       "here",      "between",  "both",     "life",       "being",   "under",    "never",    "day",
    "same",      "another",   "know",     "while",    "last",       "might",   "us",       "great",    "old",
    "year",      "off",       "come",     "since",    "against",    "go",      "came",     "right",    "used",
    "take",      "three",     "camera",   "sensor",   "pixel",      "frame",   "exposure", "shutter",  "lens",
    "aperture",  "noise",     "dark",     "bright",   "photograph", "image",   "light",    "colour",   "channel",
    "histogram", "threshold", "repair",   "healing",  "server",     "network", "address",  "protocol", "request",
    "response",  "browser",   "download", "archive",  "backup",     "version", "release",  "update",   "install",
    "package",   "library",   "compiler", "function", "variable",   "pattern",
};
constexpr std::size_t wordCount = sizeof words / sizeof *words;

const char* const tlds[] = {"com", "org", "net", "io", "de", "co.uk", "info", "edu"};
const char* const schemes[] = {"http", "https", "https", "ftp", "git", "ssh"};

std::string leadingRun(const std::string& token) {
    std::size_t n = 0;
    while (n < token.size() && (std::isalnum(static_cast<unsigned char>(token[n])) || token[n] == '_')) ++n;
    return token.substr(0, n);
}

std::string trailingRun(const std::string& token) {
    std::size_t n = token.size();
    while (n > 0 && (std::isalnum(static_cast<unsigned char>(token[n - 1])) || token[n - 1] == '_')) --n;
    return token.substr(n);
}

class Writer {
public:
    Writer(std::uint64_t seed, GeneratedText& out) : random_(seed), out_(out) {}

    std::string word() { return words[random_.below(wordCount)]; }

    std::string host() {
        std::string h = random_.chance(40) ? "www." : "";
        h += word();
        if (random_.chance(30)) h += std::to_string(random_.below(100));
        if (random_.chance(20)) h += "-" + word();
        return h + "." + tlds[random_.below(sizeof tlds / sizeof *tlds)];
    }

    std::string uri() {
        std::string u = schemes[random_.below(sizeof schemes / sizeof *schemes)];
        u += "://" + host();
        std::size_t depth = random_.below(4);
        u += "/";
        for (std::size_t i = 0; i < depth; ++i) u += word() + (i + 1 < depth ? "/" : "");
        if (random_.chance(30)) u += "-" + std::to_string(random_.below(1000)) + ".html";
        if (random_.chance(25)) u += "?q=" + word() + "&page=" + std::to_string(random_.below(50));
        if (random_.chance(15)) u += "#" + word();
        return u;
    }

    std::string email() {
        std::string e = word();
        if (random_.chance(50)) e += "." + word();
        if (random_.chance(20)) e += "+" + word();
        if (random_.chance(20)) e += "_" + std::to_string(random_.below(100));
        return e + "@" + host();
    }

    std::string ipv4() {
        // Every part has two or three digits: the pattern wants at least two.
        std::string ip;
        for (int i = 0; i < 4; ++i) {
            std::size_t part = 10 + random_.below(246);
            ip += std::to_string(part) + (i < 3 ? "." : "");
        }
        return ip;
    }

    std::string number() {
        switch (random_.below(7)) {
        case 0: return std::to_string(random_.below(100));
        case 1: return std::to_string(1900 + random_.below(130));
        case 2: return std::to_string(random_.below(10)) + "." + std::to_string(random_.below(100));
        case 3:  // version numbers: one-digit parts never make an address
            return "v" + std::to_string(random_.below(10)) + "." + std::to_string(random_.below(10)) + "." +
                   std::to_string(random_.below(10)) + "." + std::to_string(random_.below(10));
        case 4:  // three dotted parts: one short of an address
            return std::to_string(10 + random_.below(90)) + "." + std::to_string(10 + random_.below(90)) + "." +
                   std::to_string(10 + random_.below(90));
        case 5: return std::to_string(random_.below(24)) + ":" + std::to_string(10 + random_.below(50));
        default: return "$" + std::to_string(random_.below(1000)) + "," + std::to_string(10 + random_.below(90));
        }
    }

    std::string nearMiss() {
        switch (random_.below(4)) {
        case 0: return word() + "@" + word();     // no dot after the host
        case 1: return word() + ": //" + word();  // no scheme right before "//"
        case 2: return "(" + word() + "/" + word() + ")";
        default: return "<" + word() + ">";
        }
    }

    // Appends a token after a space, unless it would repeat the previous word;
    // returns false in that case so the caller can pick another.
    bool put(const std::string& token, bool repeatOnPurpose = false) {
        if (!repeatOnPurpose && !previousRun_.empty() && leadingRun(token) == previousRun_) return false;
        if (!atLineStart_) out_.text += ' ';
        out_.text += token;
        previousRun_ = trailingRun(token);
        lineLength_ += token.size() + 1;
        atLineStart_ = false;
        return true;
    }

    // Fixed items must go in: fill words are put in front until it fits.
    void putItem(const std::string& token) {
        static const char* const fillers[] = {"see", "at", "via"};
        std::size_t f = 0;
        while (!put(token)) put(fillers[f++ % 3]);
    }

    void putWord() {
        while (!put(random_.chance(8) ? number() : random_.chance(2) ? nearMiss() : word())) {}
    }

    void endSentence() {
        static const char* const ends[] = {".", ".", ".", "!", "?", ";"};
        out_.text += ends[random_.below(6)];
        previousRun_.clear();
        if (lineLength_ > 60 + random_.below(60)) {
            out_.text += '\n';
            atLineStart_ = true;
            lineLength_ = 0;
        }
    }

    Random& random() { return random_; }

private:
    Random random_;
    GeneratedText& out_;
    std::string previousRun_;
    bool atLineStart_ = true;
    std::size_t lineLength_ = 0;
};

}  // namespace

GeneratedText generateText(std::size_t targetBytes, std::uint64_t seed) {
    GeneratedText g;
    g.text.reserve(targetBytes + 4096);
    Writer w(seed, g);

    // The counts of the original benchmark text, plus doubled words for the
    // backtracking case.
    enum Item { email, uri, ipv4, doubled };
    std::vector<Item> items;
    items.insert(items.end(), 5293, uri);
    items.insert(items.end(), 92, email);
    items.insert(items.end(), 5, ipv4);
    items.insert(items.end(), 400, doubled);
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[w.random().below(i)]);

    const std::size_t spacing = targetBytes / (items.size() + 1);
    std::size_t nextItemAt = spacing, placed = 0;
    while (g.text.size() < targetBytes || placed < items.size()) {
        std::size_t length = 6 + w.random().below(13);
        for (std::size_t i = 0; i < length; ++i) {
            if (placed < items.size() && g.text.size() >= nextItemAt && i > 0) {
                switch (items[placed++]) {
                case email:
                    w.putItem(w.email());
                    ++g.emails;
                    break;
                case uri:
                    w.putItem(w.uri());
                    ++g.uris;
                    break;
                case ipv4:
                    w.putItem(w.ipv4());
                    ++g.ipv4;
                    break;
                case doubled: {
                    std::string d = w.word();
                    w.putItem(d);
                    w.put(d, true);
                    ++g.doubledWords;
                    break;
                }
                }
                nextItemAt += spacing;
                continue;
            }
            w.putWord();
        }
        w.endSentence();
    }
    g.text += '\n';
    return g;
}

}  // namespace speckmend::bench
