// The five values of the adapter's status page sit in table cells after their
// labels: "Software Version:</td><td>2.4.6</td>". A value is the plain text
// after the first '>' that follows the label and after any tags that follow
// that one directly; blanks or line breaks between two tags end the skipping
// and become the value. Nothing is trimmed or decoded.
#include <cstring>

#include "web/web.h"

bool ExtractField(const char* text, const char* label, char* field, int max) {
  const char* position = std::strstr(text, label);
  if (position == nullptr) return false;
  for (;;) {
    position = std::strchr(position, '>');
    if (position == nullptr) return false;
    ++position;
    if (*position != '<') break;
  }
  int n = 0;
  while (n < max && position[n] != '\0' && position[n] != '<') {
    field[n] = position[n];
    ++n;
  }
  field[n] = '\0';
  return true;
}
