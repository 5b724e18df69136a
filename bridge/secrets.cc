#include "bridge/secrets.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "bridge/proof.h"
#include "frame/file.h"
#include "frame/json.h"
#include "frame/unique_fd.h"

namespace vorn {

namespace {

// The directory exists afterwards and gives nobody but its owner access.
Status ensure_private_dir(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0) return {};
  int saved = errno;
  if (saved != EEXIST) return fail_errno(saved);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return fail_errno(errno);
  if ((st.st_mode & 0077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return fail_errno(errno);
  return {};
}

Status write_new_file(const std::filesystem::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return fail_errno(errno);
  TRY(write_all(fd.get(), bytes));
  if (::fsync(fd.get()) != 0) return fail_errno(errno);
  return fd.close();
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    std::uint8_t lead = byte(i);
    std::size_t extra;
    std::uint32_t cp;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1;
      cp = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2;
      cp = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((byte(i + k) & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10ffff ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += extra + 1;
  }
  return true;
}

bool is_lock_name(std::string_view name) {
  return name.size() >= 10 && name.starts_with("live-") && name.ends_with(".lock") &&
         is_valid_utf8(name);
}

}  // namespace

std::filesystem::path agents_dir(const std::filesystem::path& profile) {
  return profile / "vorn-agents";
}

std::string short_digest(std::string_view text) {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  VORN_CHECK(EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(),
                        nullptr) == 1);
  VORN_CHECK(length == 32);
  return to_hex(std::span<const std::uint8_t>(digest.data(), 16));
}

std::filesystem::path DirSecretStore::secret_path(std::string_view key) const {
  return dir_ / ("secret-" + short_digest(key) + ".json");
}

std::optional<Credentials> DirSecretStore::load(std::string_view key) {
  // Only a regular file is read: a FIFO or a link to the bridge's own
  // standard streams gives none (and a fresh pairing) without taking a byte
  // from them; an endless file fails at the bound.
  Result<std::string> text = read_regular_file(secret_path(key), kAgentsFileLimit);
  if (!text) return std::nullopt;
  Result<Credentials> credentials = decode_credentials_text(*text);
  if (!credentials) return std::nullopt;
  return std::move(*credentials);
}

Status DirSecretStore::save(std::string_view key, const Credentials& credentials) {
  const std::string content = encode_credentials(credentials);
  TRY(ensure_private_dir(dir_));
  const std::filesystem::path target = secret_path(key);
  std::array<std::uint8_t, 8> random{};
  TRY(fill_random(random));
  const std::filesystem::path temporary = target.native() + "." + to_hex(random) + ".tmp";
  Status written = write_new_file(temporary, content);
  if (written && ::rename(temporary.c_str(), target.c_str()) != 0) written = fail_errno(errno);
  if (!written) ::unlink(temporary.c_str());
  return written;
}

void DirSecretStore::remove(std::string_view key) { ::unlink(secret_path(key).c_str()); }

std::string encode_credentials(const Credentials& credentials) {
  // Objects keep their keys sorted, so agent_id comes before secret.
  return write_json(Json{{"agent_id", credentials.agent_id}, {"secret", credentials.secret}});
}

namespace {

constexpr RecordField kCredentialFields[] = {
    {"agent_id", FieldKind::kString, true},
    {"secret", FieldKind::kString, true},
};

Credentials credentials_from(RecordFields fields) {
  return Credentials{fields[0]->get<std::string>(), fields[1]->get<std::string>()};
}

}  // namespace

Result<Credentials> decode_credentials(Json value) {
  RecordFields fields = TRY(decode_record_value(value, "Credentials", kCredentialFields));
  return credentials_from(std::move(fields));
}

Result<Credentials> decode_credentials_text(std::string_view text) {
  RecordFields fields = TRY(decode_record_text(text, "Credentials", kCredentialFields));
  return credentials_from(std::move(fields));
}

void sweep_stale_locks(const std::filesystem::path& dir) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(listing);
    if (entry == nullptr) break;
    std::string_view name = entry->d_name;
    if (!is_lock_name(name)) continue;
    const std::filesystem::path path = dir / name;
    // Non-blocking: opening a FIFO for writing would otherwise wait for a
    // reader for ever; without one the open fails and the entry is skipped.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) continue;
    // Held by a live instance: the lock is refused and the file stays.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
  }
  ::closedir(listing);
}

}  // namespace vorn
