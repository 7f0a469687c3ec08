// A console program's output in UTF-8, the encoding every text of ours is in. A Windows console
// shows the bytes written to it in its own code page (932 on a Japanese system), and the C runtime
// may convert them once more on the way; there the text goes to the console in UTF-16 instead.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// Hands UTF-8 text on to a UTF-16 sink as it is written, holding back only a character that the
// end of a write cuts short until the rest of it comes. Bytes that are no character reach the sink
// as U+FFFD (toolkit/Utf.h), and so does a character still cut short when the buffer goes.
class Utf16StreamBuffer final : public std::streambuf {
 public:
  // False when the text could not be written: the stream then reports the failure.
  using Sink = std::function<bool(std::u16string_view)>;

  explicit Utf16StreamBuffer(Sink sink);
  ~Utf16StreamBuffer() override;
  Utf16StreamBuffer(const Utf16StreamBuffer&) = delete;
  Utf16StreamBuffer& operator=(const Utf16StreamBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  bool Pass(bool all);

  Sink sink_;
  std::string held_;
};

// For as long as it lives, standard output and standard error write to the console in UTF-16
// where they are a Windows console, which also acts on the terminal sequences a progress line uses
// (clearing to the end of the line); files, pipes and the terminals of other systems get the UTF-8
// bytes unchanged. The console's own settings come back afterwards.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  struct Redirect {
    std::ostream* stream;
    std::streambuf* previous;
    std::unique_ptr<Utf16StreamBuffer> buffer;
    std::function<void()> restore;  // the console's mode as it was, where it was changed
  };
  std::vector<Redirect> redirects_;
};

}  // namespace tools
