#include "app/output_buffer.h"

#include "util/text.h"

namespace morvane {

std::string OutputBuffer::translate(std::string_view text, bool lfhascr, bool crhaslf) {
  if (!lfhascr && !crhaslf) return std::string(text);
  std::lock_guard<std::mutex> lock(eol_mu_);
  bool prev_cr = eol_prev_cr_;
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  size_t i = 0;
  while (i < text.size()) {
    // Copy the run up to the next line end in one piece.
    size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    if (j > i) {
      out.append(text.data() + i, j - i);
      // Bytes of a multi-byte character are never CR or LF, so byte-wise is character-wise.
      prev_cr = false;
    }
    if (j == text.size()) break;
    if (text[j] == '\r') {
      if (crhaslf) {
        out += "\r\n";
        prev_cr = false;
      } else {
        out += '\r';
        prev_cr = true;
      }
    } else {
      if (lfhascr && !prev_cr) out += "\r\n";
      else out += '\n';
      prev_cr = false;
    }
    i = j + 1;
  }
  eol_prev_cr_ = prev_cr;
  return out;
}

void OutputBuffer::push(std::string text) {
  if (text.empty()) return;
  const size_t n = text::count_codepoints(text);
  bool was_empty, gathered;
  {
    std::lock_guard<std::mutex> lock(mu_);
    was_empty = chunks_.empty();
    last_push_ = std::chrono::steady_clock::now();
    chunks_.push_back(std::move(text));
    chunk_chars_.push_back(n);
    total_ += n;
    while (total_ > limit_ && chunks_.size() >= 2) {
      total_ -= chunk_chars_.front();
      chunks_.pop_front();
      chunk_chars_.pop_front();
    }
    gathered = gatherers_ > 0 && total_ >= gather_want_;
  }
  if (gathered) gather_cv_.notify_all();
  if (was_empty && signal_) signal_->notify();
}

std::string OutputBuffer::drain(size_t max_chars, Span* at) {
  std::deque<std::string> chunks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const uint64_t from = drained_;
    if (max_chars == 0 || max_chars >= total_) {
      drained_ += total_;
      chunks.swap(chunks_);
      chunk_chars_.clear();
      total_ = 0;
    } else {
      drained_ += max_chars;
      size_t left = max_chars;
      while (left > 0 && !chunks_.empty()) {
        if (chunk_chars_.front() <= left) {
          left -= chunk_chars_.front();
          total_ -= chunk_chars_.front();
          chunks.push_back(std::move(chunks_.front()));
          chunks_.pop_front();
          chunk_chars_.pop_front();
          continue;
        }
        // Part of the oldest chunk: up to the start of the character after the last one taken.
        std::string& front = chunks_.front();
        const size_t at = text::utf8_prefix_bytes(front, left);
        chunks.push_back(front.substr(0, at));
        front.erase(0, at);
        chunk_chars_.front() -= left;
        total_ -= left;
        left = 0;
      }
    }
    if (at) *at = {from, drained_};
  }
  room_cv_.notify_all();
  if (chunks.empty()) return {};
  if (chunks.size() == 1) return std::move(chunks.front());
  size_t bytes = 0;
  for (auto& c : chunks) bytes += c.size();
  std::string out;
  out.reserve(bytes);
  for (auto& c : chunks) out += c;
  return out;
}

bool OutputBuffer::empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return chunks_.empty();
}

size_t OutputBuffer::chars() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

}  // namespace morvane
