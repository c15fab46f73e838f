#include "intake/headerwalk.h"

#include <cstring>

#include "core/bounded.h"

void header_WalkLines(char* text, bool lineFeedEnds, const std::function<bool(const char* key, char** rest)>& visit) {
  char* firstFeed = std::strchr(text, '\n');
  if (firstFeed == nullptr) return;
  char* line = text;
  char* next = firstFeed + 1;
  for (;;) {
    char copy[101];
    kv::CopyBounded(copy, line, 100);
    char* rest = nullptr;
    const char* key = strtok_r(copy, ": \n", &rest);
    if (key == nullptr || !visit(key, &rest)) return;
    char* end = std::strstr(next, "\r\n");
    if (end == nullptr && lineFeedEnds) end = std::strchr(next, '\n');
    if (end == nullptr) return;
    *end = '\0';
    line = next;
    next = end + 1;
  }
}

const char* header_NextValue(char** rest) { return strtok_r(nullptr, ": \r\n", rest); }
