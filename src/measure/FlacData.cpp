#include "measure/FlacData.h"

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "exchange/WaveFile.h"

namespace Kedra::Measure::Flac {
namespace {

constexpr int BLOCK = 4096;
// The largest FLAC block; a stream may deliver at most this much beyond what was asked for
// before decoding stops.
constexpr std::int64_t MAX_BLOCK = 65535;

struct EncoderDeleter {
    void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};
struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

// The encoder seeks back to rewrite the stream header (sample count and MD5) at the end.
struct Sink {
    std::vector<unsigned char>* out;
    std::size_t position = 0;
};

FLAC__StreamEncoderWriteStatus WriteBytes(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                          size_t bytes, uint32_t, uint32_t, void* data) {
    auto* sink = static_cast<Sink*>(data);
    std::vector<unsigned char>& out = *sink->out;
    try {
        if (out.size() < sink->position + bytes)
            out.resize(sink->position + bytes);
    } catch (const std::bad_alloc&) {
        return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    std::memcpy(out.data() + sink->position, buffer, bytes);
    sink->position += bytes;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus SeekBytes(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                        void* data) {
    auto* sink = static_cast<Sink*>(data);
    if (offset > sink->out->size())
        return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    sink->position = static_cast<std::size_t>(offset);
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus TellBytes(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                        void* data) {
    *offset = static_cast<const Sink*>(data)->position;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

struct Source {
    std::span<const unsigned char> bytes;
    std::size_t position = 0;
    bool gotInfo = false;
    unsigned bits = 0;
    unsigned channels = 0;
    FLAC__uint64 declared = 0;
    double perCode = 0.0;
    double* out = nullptr;
    std::int64_t wanted = 0;
    std::int64_t got = 0;
    std::string error;
};

FLAC__StreamDecoderReadStatus ReadBytes(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                        size_t* bytes, void* data) {
    auto* src = static_cast<Source*>(data);
    const std::size_t left = src->bytes.size() - src->position;
    if (left == 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    const std::size_t n = std::min(left, *bytes);
    std::memcpy(buffer, src->bytes.data() + src->position, n);
    src->position += n;
    *bytes = n;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderWriteStatus WriteFrame(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const buffer[], void* data) {
    auto* src = static_cast<Source*>(data);
    if (src->out == nullptr) {
        src->error = "audio before the stream header";
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const std::int64_t block = frame->header.blocksize;
    const std::int64_t take = std::clamp<std::int64_t>(src->wanted - src->got, 0, block);
    for (std::int64_t i = 0; i < take; ++i)
        src->out[src->got + i] = buffer[0][i] * src->perCode;
    src->got += block;
    // A stream may hold more than asked for; decoding on would only cost time, and a forged
    // one could run for very long.
    if (src->got > src->wanted + MAX_BLOCK)
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* data) {
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO)
        return;
    auto* src = static_cast<Source*>(data);
    src->gotInfo = true;
    src->bits = metadata->data.stream_info.bits_per_sample;
    src->channels = metadata->data.stream_info.channels;
    src->declared = metadata->data.stream_info.total_samples;
}

void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
    auto* src = static_cast<Source*>(data);
    if (src->error.empty())
        src->error = std::string("damaged stream: ") + FLAC__StreamDecoderErrorStatusString[status];
}

} // namespace

bool Encode24(const double* samples, int count, int sampleRate, double& scale,
              std::vector<unsigned char>& out, std::string& error) {
    out.clear();
    scale = 1.0;
    if (samples == nullptr || count <= 0 || sampleRate <= 0) {
        error = "no samples";
        return false;
    }
    double peak = 0.0;
    for (int i = 0; i < count; ++i) {
        if (std::isfinite(samples[i]))
            peak = std::max(peak, std::fabs(samples[i]));
    }
    if (peak > 0.0)
        scale = peak;

    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder(FLAC__stream_encoder_new());
    if (!encoder) {
        error = "no FLAC encoder";
        return false;
    }
    FLAC__StreamEncoder* e = encoder.get();
    bool ok = FLAC__stream_encoder_set_channels(e, 1) &&
              FLAC__stream_encoder_set_bits_per_sample(e, 24) &&
              FLAC__stream_encoder_set_sample_rate(e, static_cast<uint32_t>(sampleRate)) &&
              FLAC__stream_encoder_set_compression_level(e, 5) &&
              FLAC__stream_encoder_set_total_samples_estimate(e, static_cast<FLAC__uint64>(count));
    Sink sink{&out};
    if (ok) {
        const FLAC__StreamEncoderInitStatus status =
            FLAC__stream_encoder_init_stream(e, WriteBytes, SeekBytes, TellBytes, nullptr, &sink);
        if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
            error =
                std::string("FLAC encoder refused: ") + FLAC__StreamEncoderInitStatusString[status];
            out.clear();
            return false;
        }
    }
    if (!ok) {
        error = "FLAC encoder refused its settings";
        return false;
    }
    std::vector<FLAC__int32> block(BLOCK);
    for (int start = 0; start < count && ok; start += BLOCK) {
        const int n = std::min(BLOCK, count - start);
        for (int i = 0; i < n; ++i) {
            const double x = samples[start + i];
            double code = 0.0;
            if (!std::isnan(x))
                code = std::clamp(std::round(x / scale * FULL_SCALE_24), -FULL_SCALE_24,
                                  FULL_SCALE_24);
            block[static_cast<std::size_t>(i)] = static_cast<FLAC__int32>(code);
        }
        ok = FLAC__stream_encoder_process_interleaved(e, block.data(), static_cast<uint32_t>(n));
    }
    if (!ok) {
        error = std::string("FLAC encoding failed: ") +
                FLAC__stream_encoder_get_resolved_state_string(e);
        FLAC__stream_encoder_finish(e);
        out.clear();
        return false;
    }
    if (!FLAC__stream_encoder_finish(e)) {
        error = "FLAC encoding could not be finished";
        out.clear();
        return false;
    }
    return true;
}

bool Decode(std::span<const unsigned char> bytes, int count, double scale, Mem::Array<double>& out,
            std::string& error) {
    if (count <= 0) {
        error = "no samples wanted";
        return false;
    }
    const auto head = bytes.first(std::min(bytes.size(), Kedra::WaveImExport::FORMAT_HEAD_BYTES));
    if (Kedra::WaveImExport::AudioFormatName(head) != "FLAC") {
        error = "not a FLAC stream (" + Kedra::WaveImExport::AudioFormatName(head) + ")";
        return false;
    }
    std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder(FLAC__stream_decoder_new());
    if (!decoder) {
        error = "no FLAC decoder";
        return false;
    }
    FLAC__StreamDecoder* d = decoder.get();
    FLAC__stream_decoder_set_md5_checking(d, true);
    Source src;
    src.bytes = bytes;
    src.wanted = count;
    if (FLAC__stream_decoder_init_stream(d, ReadBytes, nullptr, nullptr, nullptr, nullptr,
                                         WriteFrame, Metadata, Error,
                                         &src) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        error = "FLAC decoder refused to start";
        return false;
    }
    FLAC__stream_decoder_process_until_end_of_metadata(d);
    if (!src.gotInfo || !src.error.empty()) {
        error = src.error.empty() ? "not a FLAC stream" : src.error;
        FLAC__stream_decoder_finish(d);
        return false;
    }
    if (src.bits < 4 || src.bits > 32 || src.channels < 1) {
        error = "unusable FLAC stream header";
        FLAC__stream_decoder_finish(d);
        return false;
    }
    // A header that promises fewer samples is refused before any memory is taken for them
    // (0 means the writer did not know the count).
    if (src.declared != 0 && src.declared < static_cast<FLAC__uint64>(count)) {
        error = "the stream holds " + std::to_string(src.declared) + " samples, not " +
                std::to_string(count);
        FLAC__stream_decoder_finish(d);
        return false;
    }
    Mem::Array<double> samples(static_cast<std::size_t>(count));
    src.out = samples.data();
    src.perCode = scale / static_cast<double>((std::int64_t{1} << (src.bits - 1)) - 1);
    FLAC__stream_decoder_process_until_end_of_stream(d);
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(d);
    const bool md5 = FLAC__stream_decoder_finish(d);
    // A file cut short also garbles its last frame; the cut is what the user must hear of.
    if (src.got < count && src.position >= src.bytes.size()) {
        error = "the data file ends early, after " + std::to_string(src.got) + " of " +
                std::to_string(count) + " samples";
        return false;
    }
    if (!src.error.empty()) {
        error = src.error;
        return false;
    }
    if (src.got < count) {
        error = "the stream ends after " + std::to_string(src.got) + " of " +
                std::to_string(count) + " samples";
        return false;
    }
    if (state == FLAC__STREAM_DECODER_END_OF_STREAM && !md5) {
        error = "the stream's MD5 signature does not match its samples";
        return false;
    }
    out = std::move(samples);
    return true;
}

} // namespace Kedra::Measure::Flac
