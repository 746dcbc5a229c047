// Composing shell command lines. Each line's template stands once, in its handler; values are
// put in whole (never truncated) by composeLine. Data values go through shellQuote so that
// bash takes each as one literal word; values that are shell text by design go in verbatim.
#ifndef KADREL_EXEC_SHELLLINE_H
#define KADREL_EXEC_SHELLLINE_H

#include <initializer_list>
#include <string>

// Replaces each "%s" of `tmpl` in order by the next value ("%%" gives "%"). Missing values
// read as empty strings; surplus values are ignored.
std::string composeLine(const char* tmpl, std::initializer_list<std::string> values);

// `value` as one single-quoted shell word: 'it'\''s'.
std::string shellQuote(const std::string& value);

#endif
