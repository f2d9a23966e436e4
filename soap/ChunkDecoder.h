#pragma once
// Decodes a chunked request body as its bytes arrive, strictly: a size line is hexadecimal
// digits, then CR LF or extensions after ";" (blanks may come before it); each chunk's data
// is followed by CR LF; the last chunk's trailer lines end with an empty line. Every byte is
// looked at once, however small the chunks. Owned by the RequestReader of one connection.
#include <cstddef>
#include <string>

class ChunkDecoder {
public:
    enum class State { kMore, kDone, kMalformed, kTooLarge };

    // `maxBody` bounds the decoded body, `maxLine` each size line and the trailer lines
    // together.
    ChunkDecoder(std::size_t maxBody, std::size_t maxLine);

    // Decodes the next bytes. Once the state is other than kMore the rest is not looked at:
    // what follows the last chunk is no part of the body.
    State Feed(const char* data, std::size_t size);

    State state() const { return state_; }
    const std::string& body() const { return body_; }
    std::string& body() { return body_; }

private:
    enum class Step { kSize, kBlank, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLf };

    State Fail(State s) { return state_ = s; }

    const std::size_t maxBody_;
    const std::size_t maxLine_;
    State state_ = State::kMore;
    Step step_ = Step::kSize;
    std::size_t digits_ = 0;
    std::size_t size_ = 0;
    std::size_t left_ = 0;
    // Bytes of the size line, or of all trailer lines, read so far.
    std::size_t lineLength_ = 0;
    // Bytes of the trailer line being read; an empty one ends the body.
    std::size_t trailerLine_ = 0;
    std::string body_;
};
