// The reader thread of a connection (states and invariants in Connection.cpp). One reader
// thread per connection; it shares only the ConnectionContext with its writer and the
// ServerCore with everyone.
#include "server/ConnectionReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Crc32.h"
#include "foundation/Errors.h"
#include "foundation/Failure.h"
#include "platform/Clock.h"
#include "platform/ServerSupport.h"
#include "server/Connection.h"
#include "server/Server.h"
#include "server/ServerCore.h"

namespace dovrel::server {

namespace {

std::string numbered(std::string_view before, int number, std::string_view after) {
  std::string text(before);
  text += std::to_string(number);
  text += after;
  return text;
}

// Holds the parser semaphore and releases it on every way out, unless kept for a halt.
class ParserTurn {
 public:
  explicit ParserTurn(std::binary_semaphore& semaphore) : semaphore_(semaphore) {}
  ~ParserTurn() {
    if (held_) semaphore_.release();
  }
  ParserTurn(const ParserTurn&) = delete;
  ParserTurn& operator=(const ParserTurn&) = delete;

  void acquire(uint32_t sliceMs) {
    // Slices rather than one endless wait, as everywhere in the connection threads.
    while (!semaphore_.try_acquire_for(std::chrono::milliseconds(sliceMs))) {
    }
    held_ = true;
  }
  void release() {
    held_ = false;
    semaphore_.release();
  }
  // After a halt the semaphore stays taken, so no other query starts while the server saves.
  void keep() { held_ = false; }

 private:
  std::binary_semaphore& semaphore_;
  bool held_ = false;
};

}  // namespace

ConnectionReader::ConnectionReader(std::shared_ptr<ConnectionContext> context)
    : context_(std::move(context)),
      ctx_(*context_),
      core_(*ctx_.core),
      input_(std::make_unique<char[]>(INPUT_CAPACITY)) {}

void ConnectionReader::run() {
  const uint32_t slice = core_.options().statusIntervalMs;
  for (;;) {
    RequestHeader header;
    if (!readHeader(&header) || !enterState(header)) return;
    BodyReservation reservation(core_);  // given back after the body is freed
    TextBuffer body;
    if (!readBody(header, &body, &reservation)) return;
    if (!header.quiet() && crc32(body.pointer(), body.length()) != header.checksum) {
      ctx_.giveUp(ConnectionSide::READER, "Ошибка контрольной суммы запроса\n"_cp866);
      return;
    }
    if (stopOrAdvance(!header.quiet(), STATE_IN_QUEUE)) return;

    ParserTurn turn(core_.parserSemaphore());
    turn.acquire(slice);
    if (stopOrAdvance(!header.quiet(), STATE_RUNNING)) return;  // the turn is released
    answer_.clear();  // only this thread touches the answer (invariant 2)
    // A query that will only be refused leaves no record for the next start to run. The
    // record reaches the system before the query runs, and so before its answer is sent.
    // A record that cannot be written is a disk failure: that query does not run, and the
    // executor refuses every later one. A commit that ran stands, with its answer.
    QueryResult result = RESULT_DONE;
    try {
      if (!core_.executor().refusesEveryQuery()) core_.journal().append(body.view());
      result = execute(body.view());
      if (result == RESULT_COMMITTED) core_.journal().rotate();
    } catch (const DiskOrMemoryError& error) {
      core_.executor().enterErrorState();
      if (result != RESULT_COMMITTED) answerError(error.message());
    }
    // Asked while the turn is held: the executor is not thread-safe.
    const std::optional<std::string> failedLogin = core_.executor().failedLogin();
    if (result == RESULT_HALT) {
      turn.keep();
      // No answer: the peer sees its connection end. Shut down rather than close, because
      // the writer may still be sending a status line on this descriptor.
      (void)platform::shutdownSocket(ctx_.sock);
      core_.halt();
      ctx_.giveUp(ConnectionSide::READER, {});  // reached only when a test keeps the process
      return;
    }
    turn.release();
    body = TextBuffer();
    reservation.release();
    // Served here, after the turn: a guesser slows only itself, never the other clients.
    if (failedLogin) delayFailedLogin(*failedLogin);

    frameAnswer(answer_, header.quiet());
    // Known length: the state is READY now and the next request may follow. Quiet: the
    // state is ERROR after the answer, and the connection ends here.
    if (!sendAnswer(header.quiet())) return;
    // A small buffer is kept for the next answer; one grown by a large answer goes back.
    if (answer_.capacity() > KEPT_ANSWER_CAPACITY) answer_ = TextBuffer();
  }
}

bool ConnectionReader::readHeader(RequestHeader* header) {
  // Received in pieces into the connection's input; the bytes behind the header stay there
  // for the body and the next request.
  uint64_t headerDeadline = 0;  // set with the header's first byte
  for (;;) {
    const std::string_view pending(input_.get() + inputStart_, inputEnd_ - inputStart_);
    const uint32_t size = requestHeaderSize(pending);
    if (size != 0) {
      inputStart_ += size;
      if (!parseRequestHeader(pending.substr(0, size), header)) {
        ctx_.giveUp(ConnectionSide::READER, "Некорректный заголовок\n"_cp866);
        return false;
      }
      return true;
    }
    // Less than a header's maximum waits: move it to the front to make room behind it.
    if (inputStart_ != 0) {
      std::memmove(input_.get(), pending.data(), pending.size());
      inputStart_ = 0;
      inputEnd_ = pending.size();
    }
    // Idle until the first byte of a header: no deadline. From it the whole header must
    // arrive within the header deadline.
    if (inputEnd_ == 0) {
      headerDeadline = 0;
      if (!setDeadline(0, {})) return false;
    } else {
      if (headerDeadline == 0)
        headerDeadline = platform::tickCountMs() + core_.options().headerDeadlineMs;
      if (!setDeadline(headerDeadline, "Истекло время ожидания заголовка запроса\n"_cp866)) {
        return false;
      }
    }
    int error = 0;
    const long got = ctx_.sock.recv(input_.get() + inputEnd_, INPUT_CAPACITY - inputEnd_, &error);
    if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK) && headerDeadline != 0) {
      ctx_.giveUp(ConnectionSide::READER, "Истекло время ожидания заголовка запроса\n"_cp866);
      return false;
    }
    if (got < 0) {
      ctx_.giveUp(ConnectionSide::READER, numbered("Ошибка чтения заголовка "_cp866, error, "\n"));
      return false;
    }
    if (got == 0) {
      ctx_.giveUp(ConnectionSide::READER, "Неожиданный конец заголовка\n"_cp866);
      return false;
    }
    inputEnd_ += static_cast<std::size_t>(got);
  }
}

bool ConnectionReader::enterState(const RequestHeader& header) {
  std::unique_lock<std::mutex> lock(ctx_.mutex);
  if (ctx_.state == STATE_ERROR) return false;
  if (!header.quiet()) {
    ctx_.state = STATE_RECEIVING;
    lock.unlock();
    return ctx_.writerStarted || Connection::startWriter(context_);
  }
  if (ctx_.state == STATE_QUIET) return true;
  // A quiet request after a known-length one: its end could only be the end of the
  // connection, which the known-length requests before it did not promise. Refused as a
  // malformed header.
  lock.unlock();
  ctx_.giveUp(ConnectionSide::READER, "Некорректный заголовок\n"_cp866);
  return false;
}

bool ConnectionReader::readBody(const RequestHeader& header, TextBuffer* body,
                                BodyReservation* reservation) {
  const bool known = !header.quiet();
  const ServerOptions& options = core_.options();
  if (known && header.queryLength > options.maxBodyBytes) {
    ctx_.giveUp(ConnectionSide::READER, std::string("Длина тела запроса "_cp866) +
                                            std::to_string(header.queryLength) +
                                            std::string(" больше допустимой "_cp866) +
                                            std::to_string(options.maxBodyBytes) + "\n");
    return false;
  }
  const auto tooLong = [&] {
    ctx_.giveUp(ConnectionSide::READER,
                std::string("Тело запроса неопределённой длины больше допустимой "_cp866) +
                    std::to_string(options.maxBodyBytes) + "\n");
    return false;
  };
  // A body that does not fit the shared budget waits for others at most one body period,
  // so many large uploads take turns instead of exhausting the memory. A known length
  // takes its whole share at once and so never waits holding part of it.
  const auto cover = [&](uint64_t bytes) {
    if (reservation->cover(bytes, options.bodyDeadlineMs)) return true;
    ctx_.giveUp(ConnectionSide::READER,
                std::string("Нет памяти для тела запроса: занят общий предел "_cp866) +
                    std::to_string(options.bodyBudgetBytes) + std::string(" байт\n"_cp866));
    return false;
  };
  if (known && !cover(header.queryLength)) return false;
  uint64_t received = 0;
  try {
    // First what arrived behind the header; a known length takes no byte of the next request.
    const std::size_t buffered = inputEnd_ - inputStart_;
    const uint64_t taken = known ? std::min<uint64_t>(buffered, header.queryLength) : buffered;
    if (taken > 0) {
      if (!known && taken > options.maxBodyBytes) return tooLong();
      if (!known && !cover(taken)) return false;
      const uint64_t limit = options.bodyMemoryLimit;
      if (limit != 0 && taken > limit) throw std::bad_alloc();
      body->append(input_.get() + inputStart_, taken);  // std::bad_alloc past the limit
      inputStart_ += taken;
      received = taken;
    }
    if (inputStart_ == inputEnd_) inputStart_ = inputEnd_ = 0;
    // The body must advance by BODY_PROGRESS_BYTES (or to its end) in every body period.
    uint64_t periodStart = received;
    uint64_t deadline = platform::tickCountMs() + options.bodyDeadlineMs;
    // The rest goes straight into the body. The buffer grows with the bytes that actually
    // arrive, never with the announced length alone, so a peer cannot make the server
    // reserve memory it does not send.
    while (!known || received < header.queryLength) {
      const uint64_t want =
          known ? std::min<uint64_t>(header.queryLength - received, WIRE_PIECE) : WIRE_PIECE;
      // Unknown length: one byte past the limit is enough to know the body is too long
      // (`received` is within the limit here).
      const uint64_t asked =
          known ? want : std::min<uint64_t>(want, options.maxBodyBytes + 1 - received);
      if (!known && !cover(received + asked)) return false;
      const uint64_t limit = options.bodyMemoryLimit;
      if (limit != 0 && received + asked > limit) throw std::bad_alloc();
      if (received - periodStart >= BODY_PROGRESS_BYTES) {
        periodStart = received;
        deadline = platform::tickCountMs() + options.bodyDeadlineMs;
      }
      if (!setDeadline(deadline, "Истекло время ожидания тела запроса\n"_cp866)) return false;
      body->resize(received + asked);  // std::bad_alloc past the buffer's limit
      int error = 0;
      const long got = ctx_.sock.recv(body->pointer() + received, asked, &error);
      if (got > 0) {
        received += static_cast<uint64_t>(got);
        body->resize(received);
        if (!known && received > options.maxBodyBytes) return tooLong();
        continue;
      }
      body->resize(received);
      if (got == 0 && !known) return true;  // the client's end of stream ends the body
      if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        ctx_.giveUp(ConnectionSide::READER, "Истекло время ожидания тела запроса\n"_cp866);
      } else if (got == 0) {
        ctx_.giveUp(ConnectionSide::READER, "Неожиданный конец тела запроса"_cp866);
      } else if (known) {
        ctx_.giveUp(ConnectionSide::READER,
                    numbered("Ошибка чтения тела запроса "_cp866, error, "\n"));
      } else {
        ctx_.giveUp(
            ConnectionSide::READER,
            numbered("Ошибка "_cp866, error, " чтения тела запроса неопределённой длины\n"_cp866));
      }
      return false;
    }
  } catch (const std::bad_alloc&) {
    // Memory for this request ran out: only this connection ends, reported as a receive
    // error with the out-of-memory code.
    *body = TextBuffer();
    ctx_.giveUp(ConnectionSide::READER,
                known ? numbered("Ошибка чтения тела запроса "_cp866, ENOMEM, "\n")
                      : numbered("Ошибка "_cp866, ENOMEM,
                                 " чтения тела запроса неопределённой длины\n"_cp866));
    return false;
  }
  return true;
}

bool ConnectionReader::setDeadline(uint64_t deadlineMs, std::string_view expired) {
  uint32_t timeout = 0;
  if (deadlineMs != 0) {
    const uint64_t now = platform::tickCountMs();
    if (now >= deadlineMs) {
      ctx_.giveUp(ConnectionSide::READER, expired);
      return false;
    }
    timeout = static_cast<uint32_t>(std::min<uint64_t>(deadlineMs - now, UINT32_MAX));
  }
  if (timeout == receiveTimeoutMs_) return true;
  // A socket that refuses the timeout is served without it: only a deadline is lost.
  (void)ctx_.sock.setReceiveTimeout(timeout);
  receiveTimeoutMs_ = timeout;
  return true;
}

void ConnectionReader::delayFailedLogin(const std::string& user) {
  const uint32_t delayMs =
      core_.failedLogins().failed(ctx_.peerAddress, user, platform::tickCountMs());
  // The name is the client's: shown printable and short, so it cannot forge console lines.
  std::string shown;
  for (const char c : user.substr(0, 64)) {
    shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  consolePrint(std::string("Неудачный вход пользователя "_cp866) + shown +
               std::string(" с адреса "_cp866) + ipAddressText(ctx_.peerAddress) +
               std::string(", ответ задержан на "_cp866) + std::to_string(delayMs) +
               std::string(" мс\n"_cp866));
  platform::sleepMs(delayMs);
}

bool ConnectionReader::stopOrAdvance(bool knownLength, ConnectionState next) {
  std::lock_guard<std::mutex> lock(ctx_.mutex);
  if (ctx_.state == STATE_ERROR) return true;
  if (knownLength) ctx_.state = next;
  return false;
}

QueryResult ConnectionReader::execute(TextView query) {
  // A refusal is a TextError; the others are caught too, so that no query can end the
  // thread with the parser semaphore held or the process with an uncaught exception.
  return handleFailures([&] { return core_.executor().execute(query, answer_); },
                        [this](const Failure& failure) {
                          answerError(failure.text);
                          return RESULT_DONE;
                        });
}

void ConnectionReader::answerError(std::string_view message) {
  answer_.clear();
  answer_.append("ERROR\r\n");
  answer_.append(message);
}

bool ConnectionReader::sendAnswer(bool quiet) {
  // Held until the new lastSent is recorded, so that the writer never sends a status line
  // for the state the answer ends.
  std::lock_guard<std::mutex> sending(ctx_.sendMutex);
  const ConnectionState state = ctx_.currentState();
  if (state == STATE_ERROR) return false;  // the writer has given up
  DOVREL_ASSERT(state == STATE_RUNNING || state == STATE_QUIET);
  const char* next = answer_.pointer();
  uint32_t left = answer_.length();
  while (left > 0) {
    const uint32_t piece = std::min(left, WIRE_PIECE);
    if (!ctx_.sock.sendAll(next, piece).isOk()) {
      ctx_.giveUp(ConnectionSide::READER, "Ошибка записи в сокет ответа\n"_cp866);
      return false;
    }
    next += piece;
    left -= piece;
  }
  return ctx_.answerSent(quiet);
}

}  // namespace dovrel::server
