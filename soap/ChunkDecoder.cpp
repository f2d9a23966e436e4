#include "soap/ChunkDecoder.h"

#include <algorithm>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// What may stand in an extension or a trailer line: no control character but tab.
bool IsLineChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u != 0x7F) || u == '\t';
}

}  // namespace

ChunkDecoder::ChunkDecoder(std::size_t maxBody, std::size_t maxLine) : maxBody_(maxBody), maxLine_(maxLine) {}

ChunkDecoder::State ChunkDecoder::Feed(const char* data, std::size_t size)
{
    std::size_t at = 0;
    while (state_ == State::kMore && at < size) {
        const char c = data[at];
        // A size line, and all trailer lines together, are bounded like a head.
        if (step_ != Step::kData && ++lineLength_ > maxLine_)
            return Fail(State::kMalformed);
        switch (step_) {
        case Step::kSize: {
            const int value = HexValue(c);
            if (value >= 0) {
                // The value is what is bounded, so leading zeros are only line bytes.
                size_ = size_ * 16 + static_cast<std::size_t>(value);
                if (size_ > maxBody_ - body_.size())
                    return Fail(State::kTooLarge);
                ++digits_;
            } else if (digits_ == 0) {
                return Fail(State::kMalformed);
            } else if (c == '\r') {
                step_ = Step::kSizeLf;
            } else if (c == ';') {
                step_ = Step::kExtension;
            } else if (c == ' ' || c == '\t') {
                step_ = Step::kBlank;
            } else {
                return Fail(State::kMalformed);
            }
            ++at;
            break;
        }
        case Step::kBlank:
            // Blanks may stand before an extension only.
            if (c == ';')
                step_ = Step::kExtension;
            else if (c != ' ' && c != '\t')
                return Fail(State::kMalformed);
            ++at;
            break;
        case Step::kExtension:
            if (c == '\r')
                step_ = Step::kSizeLf;
            else if (!IsLineChar(c))
                return Fail(State::kMalformed);
            ++at;
            break;
        case Step::kSizeLf:
            if (c != '\n')
                return Fail(State::kMalformed);
            ++at;
            if (size_ == 0) {
                step_ = Step::kTrailer;
                lineLength_ = 0;
                trailerLine_ = 0;
            } else {
                step_ = Step::kData;
                left_ = size_;
            }
            break;
        case Step::kData: {
            const std::size_t n = std::min(left_, size - at);
            body_.append(data + at, n);
            at += n;
            left_ -= n;
            if (left_ == 0) {
                step_ = Step::kDataCr;
                lineLength_ = 0;
            }
            break;
        }
        case Step::kDataCr:
            if (c != '\r')
                return Fail(State::kMalformed);
            step_ = Step::kDataLf;
            ++at;
            break;
        case Step::kDataLf:
            if (c != '\n')
                return Fail(State::kMalformed);
            step_ = Step::kSize;
            digits_ = 0;
            size_ = 0;
            lineLength_ = 0;
            ++at;
            break;
        case Step::kTrailer:
            if (c == '\r')
                step_ = Step::kTrailerLf;
            else if (!IsLineChar(c))
                return Fail(State::kMalformed);
            else
                ++trailerLine_;
            ++at;
            break;
        case Step::kTrailerLf:
            if (c != '\n')
                return Fail(State::kMalformed);
            ++at;
            if (trailerLine_ == 0) {
                state_ = State::kDone;
            } else {
                step_ = Step::kTrailer;
                trailerLine_ = 0;
            }
            break;
        }
    }
    return state_;
}
