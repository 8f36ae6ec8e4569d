// Standard input read by lines when it is a pipe, a file, or a terminal in line mode: a stream
// buffer over the descriptor that can also take what has arrived without waiting, so that the
// front end sees a line that comes while a run goes on. A line that was there when the run
// began was typed ahead, as a script's lines are: it waits for the run's end like the rest.
#pragma once

#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

class LiveInput : public std::streambuf {
  public:
    explicit LiveInput(int fd) : m_fd(fd) {}

    // Everything that has arrived so far counts as typed ahead.
    void Mark();
    // Takes out of the input the first whole line that arrived since the mark and that wanted
    // accepts (without its line break or a CR before it); nothing when none has.
    std::optional<std::string> TakeArrived(bool (*wanted)(std::string_view line));

  protected:
    int_type underflow() override;

  private:
    // Reads what has arrived without waiting.
    void ReadArrived();
    // One read of what the descriptor holds (waiting until something comes) onto the data; false
    // at the input's end (or an error), which is then marked.
    bool ReadChunk();
    // The get area again over m_data, used bytes already read by the stream.
    void Reset(size_t used);
    size_t Used() const { return eback() != nullptr ? static_cast<size_t>(gptr() - eback()) : 0; }

    int m_fd;
    std::string m_data;  // arrived, read by the stream up to Used()
    size_t m_mark = 0;   // where the bytes that arrived after the mark begin
    bool m_ended = false;
};
