// keygen, sign, verify and package: keys and signed images.
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/dialog_framework.h"
#include "signing/image_verifier.h"
#include "signing/key_table.h"
#include "signing/record_observer.h"
#include "tools/orvanta/card_slots.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/option_types.h"
#include "tools/orvanta/tool_support.h"
#include "tools/signer/signer.h"
#include "tools/signer/token.h"

namespace orvanta {
namespace {

constexpr unsigned kKeyBits = 1024;
constexpr std::uint64_t kDefaultRecordSize = 65536;

std::filesystem::path KeyFile(const std::filesystem::path& directory, unsigned index,
                              const char* extension) {
  return directory / ("key" + std::to_string(index) + extension);
}

std::string KeyLabel(unsigned index) {
  return "key" + std::to_string(index);
}

// The four key pairs generated on the token; only the public DER files are written.
bool TokenKeygen(const std::filesystem::path& directory, const std::string& token,
                 std::vector<std::filesystem::path>* written, std::string* error) {
  for (unsigned index = 0; index < KeyCount; ++index) {
    std::string uri;
    signer::Bytes der;
    if (!signer::TokenObjectUri(token, KeyLabel(index), &uri, error) ||
        !signer::GenerateTokenKey(uri, kKeyBits, &der, error)) {
      *error = signer::RedactedUri(token) + ": " + KeyLabel(index) + ": " + *error;
      return false;
    }
    if (der.size() != BuiltInKeySize) {
      *error = KeyLabel(index) + ": the public key has " + std::to_string(der.size()) +
               " bytes, expected 162";
      return false;
    }
    if (!WriteFileAtomically(KeyFile(directory, index, ".der"), der, Existing::Keep, error))
      return false;
    written->push_back(KeyFile(directory, index, ".der"));
  }
  return true;
}

// The four key pairs as PEM files (private, owner only) and DER public keys.
bool FileKeygen(const std::filesystem::path& directory, std::vector<std::filesystem::path>* written,
                std::string* error) {
  for (unsigned index = 0; index < KeyCount; ++index) {
    const signer::PrivateKey key = signer::GenerateRsaKey(kKeyBits, error);
    std::string pem;
    signer::Bytes der;
    if (!key || !signer::WritePrivateKeyPem(key, &pem, error) ||
        !signer::PublicKeyDer(key, &der, error)) {
      *error = KeyLabel(index) + ": " + *error;
      return false;
    }
    if (der.size() != BuiltInKeySize) {
      *error = KeyLabel(index) + ": the public key has " + std::to_string(der.size()) +
               " bytes, expected 162";
      return false;
    }
    // The private half is readable by its owner only from its first byte on.
    const mode_t mask = umask(0077);
    const std::span<const std::uint8_t> pemBytes(reinterpret_cast<const std::uint8_t*>(pem.data()),
                                                 pem.size());
    const bool pemWritten =
        WriteFileAtomically(KeyFile(directory, index, ".pem"), pemBytes, Existing::Keep, error);
    umask(mask);
    if (!pemWritten ||
        !WriteFileAtomically(KeyFile(directory, index, ".der"), der, Existing::Keep, error))
      return false;
    written->push_back(KeyFile(directory, index, ".pem"));
    written->push_back(KeyFile(directory, index, ".der"));
  }
  return true;
}

struct KeygenArguments {
  std::string directory;
  std::optional<std::string> token;
  bool json = false;
};

int RunKeygen(const KeygenArguments& arguments) {
  const std::filesystem::path directory = arguments.directory;
  std::error_code code;
  for (unsigned index = 0; index < KeyCount; ++index)
    for (const char* extension : {".pem", ".der"})
      if (std::filesystem::exists(KeyFile(directory, index, extension), code))
        return ReportError(KeyFile(directory, index, extension).string() +
                           ": exists; keygen never replaces a key");
  if (arguments.token && !signer::IsTokenUri(*arguments.token))
    return ReportError("--token: \"" + *arguments.token + "\" is not a pkcs11: URI");
  std::filesystem::create_directories(directory, code);
  if (code) return ReportError(directory.string() + ": " + code.message());
  std::vector<std::filesystem::path> written;
  std::string error;
  if (arguments.token ? !TokenKeygen(directory, *arguments.token, &written, &error)
                      : !FileKeygen(directory, &written, &error))
    return ReportError(error);
  if (arguments.json) {
    nlohmann::json files = nlohmann::json::array();
    for (const std::filesystem::path& file : written) files.push_back(file.string());
    std::cout << nlohmann::json{{"directory", directory.string()}, {"files", files}}.dump() << "\n";
  } else {
    std::cout << directory.string() << ": four RSA-1024 key pairs, "
              << (arguments.token ? "private halves on the token, public keys key0..key3.der"
                                  : "key0..key3.pem (private) and key0..key3.der (public)")
              << "; to sign for a device, build it with -DORVANTA_KEY_DIR=" << directory.string()
              << " (or sign with --foreign-key)\n";
  }
  return kExitSuccess;
}

// Signs record by record (the same bytes as signer::SignImage), so that a progress bar can
// follow a large file.
bool SignWithProgress(std::span<const std::uint8_t> payload, const signer::PrivateKey& key,
                      const signer::ImageHeader& header, std::size_t recordSize,
                      const std::string& label, signer::Bytes* image, std::string* error) {
  image->clear();
  const std::size_t signatureSize = signer::SignatureSize(key);
  const std::size_t records = (payload.size() + recordSize - 1) / recordSize;
  image->reserve(ImagePreambleSize + payload.size() +
                 (records + 1) * (RecordHeadSize + signatureSize));
  signer::AppendPreamble(header, image);
  ProgressBar progress(label, payload.size());
  std::uint32_t sequence = 1;
  for (std::size_t start = 0; start < payload.size(); start += recordSize, ++sequence) {
    const std::size_t length = std::min(recordSize, payload.size() - start);
    if (!signer::AppendSignedRecord(key, payload.subspan(start, length), signer::DataRecordType,
                                    header, sequence, image, error))
      return false;
    progress.Update(start + length);
  }
  return signer::AppendSignedRecord(key, {}, signer::FinalRecordType, header, sequence, image,
                                    error);
}

// A signing key as named on the command line (a PEM file or a pkcs11: URI), loaded.
struct SigningKey {
  std::string name;  // the file, or the URI without its PIN
  signer::PrivateKey key;
};

bool LoadKey(const std::string& reference, signer::Passphrase* passphrase, SigningKey* key,
             std::string* error) {
  key->name = signer::RedactedUri(reference);
  key->key = signer::LoadSigningKey(reference, error, passphrase);
  return static_cast<bool>(key->key);
}

// The key as a signed file's description names it: its built-in index, or that it is foreign.
std::string KeyDescription(const SigningKey& key) {
  const std::optional<unsigned> index = BuiltInIndexOf(key.key);
  return (index ? "built-in key " + std::to_string(*index) : std::string("a foreign key")) + " (" +
         key.name + ")";
}

// What a signed file holds, for the one line (or JSON object) a command prints of it.
struct SignedFile {
  std::filesystem::path path;
  std::uint64_t size = 0, payload = 0, records = 0;
  std::string key;                   // KeyDescription
  std::optional<unsigned> keyIndex;  // the built-in index of the key, if it is one
};

nlohmann::json SignedFileJson(const SignedFile& file) {
  return {{"path", file.path.string()},
          {"size", file.size},
          {"payload_bytes", file.payload},
          {"records", file.records},
          {"key", file.key},
          {"key_index", file.keyIndex ? nlohmann::json(*file.keyIndex) : nlohmann::json()}};
}

std::string SignedFileLine(const SignedFile& file) {
  return file.path.string() + ": " + std::to_string(file.size) + " bytes, " +
         std::to_string(file.payload) + " payload bytes in " + std::to_string(file.records) +
         " records, signed with " + file.key;
}

// Signs `input` into `output` (already checked as an output) with `key`.
bool SignFile(const SigningKey& key, const signer::ImageHeader& header, std::uint64_t recordSize,
              const std::filesystem::path& input, const std::filesystem::path& output,
              Existing existing, SignedFile* signedFile, std::string* error) {
  Bytes payload;
  if (!ReadWholeFile(input, &payload, error)) return false;
  signer::Bytes image;
  if (!SignWithProgress(payload, key.key, header, recordSize,
                        "signing " + input.filename().string(), &image, error))
    return false;
  if (image.size() > 0xFFFFFFFFu) {
    *error = input.string() + ": the signed image would exceed 4 GiB, more than a device maps";
    return false;
  }
  if (!WriteFileAtomically(output, image, existing, error)) return false;
  *signedFile = {output,
                 image.size(),
                 payload.size(),
                 (payload.size() + recordSize - 1) / recordSize + 1,
                 KeyDescription(key),
                 BuiltInIndexOf(key.key)};
  return true;
}

// The passphrase source of --passin, or the terminal.
bool PassphraseOf(const std::optional<std::string>& source, signer::Passphrase* passphrase,
                  std::string* error) {
  return !source || passphrase->SetSource(*source, error);
}

struct SignArguments {
  std::string key, input, output;
  std::optional<std::string> slot, passin;
  HeaderArgument header;
  std::uint64_t recordSize = kDefaultRecordSize;
  bool foreignKey = false, force = false, json = false;
};

int RunSign(const SignArguments& arguments) {
  std::string error;
  const Existing existing = arguments.force ? Existing::Replace : Existing::Keep;
  const std::filesystem::path inputs[] = {arguments.input};
  if (!CheckOutput(arguments.output, inputs, existing, &error)) return ReportError(error);
  signer::Passphrase passphrase;
  SigningKey key;
  if (!PassphraseOf(arguments.passin, &passphrase, &error) ||
      !LoadKey(arguments.key, &passphrase, &key, &error))
    return ReportError(error);
  const CardSlot* slot = arguments.slot ? SlotNamed(*arguments.slot) : SlotOfPath(arguments.output);
  if (const std::string mismatch = KeyMismatch(key.key, slot, "--key " + key.name);
      !mismatch.empty() && !arguments.foreignKey)
    return ReportError(mismatch + " (--foreign-key signs with it all the same)");
  SignedFile signedFile;
  if (!SignFile(key, arguments.header.bytes, arguments.recordSize, arguments.input,
                arguments.output, existing, &signedFile, &error))
    return ReportError(error);
  if (arguments.json)
    std::cout << SignedFileJson(signedFile).dump() << "\n";
  else
    std::cout << SignedFileLine(signedFile) << "\n";
  return kExitSuccess;
}

// A progress bar of the verifier that draws on the terminal. It belongs to no dialog, so the
// framework delivers its messages on the sending thread, as the verifier runs here.
class TerminalProgressBar : public Window {
 public:
  explicit TerminalProgressBar(std::string label) : bar_(std::move(label), 100) {}
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM /*lParam*/) override {
    if (message == PBM_SETPOS) bar_.Update(wParam);
    return 0;
  }
  void Finish() { bar_.Finish(); }

 private:
  ProgressBar bar_;
};

// Counts the records the verifier accepts and appends each payload to the compacted file: the
// payloads back to back, in file order, as the verifier's own compaction leaves them.
struct PayloadWriter {
  std::span<const std::uint8_t> image;
  AtomicFileWriter output;
  std::string error;
  std::uint64_t records = 0;  // the records that verified, the final one included

  static void Observe(void* context, const RecordObservation& record) {
    auto* writer = static_cast<PayloadWriter*>(context);
    if (record.verdict != RecordVerdict::Good) return;
    ++writer->records;
    if (!writer->error.empty() || !writer->output.IsOpen()) return;
    writer->output.Write(
        writer->image.subspan(record.offset + RecordHeadSize, record.payloadLength),
        &writer->error);
  }
};

struct VerifyArguments {
  std::string file;
  std::optional<unsigned> keyIndex;
  std::optional<std::string> publicKey, compact;
  bool force = false, json = false;
};

int RunVerify(const VerifyArguments& arguments) {
  if (!arguments.keyIndex && !arguments.publicKey)
    return ReportError("verify: give --key-index N or --public-key FILE");
  std::string error;
  const Existing existing = arguments.force ? Existing::Replace : Existing::Keep;
  if (arguments.compact) {
    const std::filesystem::path inputs[] = {arguments.file};
    if (!CheckOutput(*arguments.compact, inputs, existing, &error)) return ReportError(error);
  }
  if (arguments.publicKey && !UsePublicKeyFile(*arguments.publicKey, &error))
    return ReportError(error);
  const DWORD keyIndex = arguments.keyIndex.value_or(0);
  const std::string keyName = arguments.publicKey ? "the public key " + *arguments.publicKey
                                                  : "built-in key " + std::to_string(keyIndex);
  // The image is mapped, never loaded; a compacted copy is written record by record as the
  // verifier accepts them, and kept only when the whole image verifies.
  MappedImage image;
  if (!image.Open(arguments.file, &error)) return ReportError(error);
  if (image.Content().size() > 0xFFFFFFFFu)
    return ReportError(arguments.file + ": larger than 4 GiB, more than a device maps");
  PayloadWriter payloads{image.Content(), {}, {}, 0};
  if (arguments.compact && !payloads.output.Open(*arguments.compact, existing, &error))
    return ReportError(error);
  TerminalProgressBar progress("verifying " +
                               std::filesystem::path(arguments.file).filename().string());
  SetRecordObserver(&PayloadWriter::Observe, &payloads);
  static BYTE emptyFile[1];
  // Verify-only: the mapping is read-only and the verifier does not write to it.
  BYTE* buffer = image.Content().empty() ? emptyFile : const_cast<BYTE*>(image.Content().data());
  const LONG result = VerifyImage(nullptr, buffer, static_cast<DWORD>(image.Content().size()),
                                  keyIndex, TRUE, progress.Handle());
  SetRecordObserver(nullptr, nullptr);
  progress.Finish();
  if (result > 0 && arguments.compact &&
      (!payloads.error.empty() || !payloads.output.Commit(&error)))
    return ReportError(payloads.error.empty() ? error : payloads.error);
  if (arguments.json) {
    nlohmann::json report = {{"file", arguments.file},
                             {"result", result},
                             {"valid", result > 0},
                             {"records", payloads.records},
                             {"payload_bytes", result > 0 ? result : 0}};
    report["key"] =
        arguments.publicKey ? nlohmann::json(*arguments.publicKey) : nlohmann::json(keyIndex);
    if (arguments.compact && result > 0) report["compact"] = *arguments.compact;
    std::cout << report.dump() << "\n";
  } else if (result > 0) {
    std::cout << arguments.file << ": verified with " << keyName << ": " << payloads.records
              << " records, " << result << " payload bytes"
              << (arguments.compact ? "; compacted into " + *arguments.compact : "") << "\n";
  } else {
    std::cout << arguments.file << ": rejected by the device's verifier with " << keyName
              << " (result " << result << ": "
              << (result == 0 ? "not a signed image, or no payload"
                              : "a record fails; orvanta inspect says which")
              << ")\n";
  }
  return result > 0 ? kExitSuccess : kExitNegative;
}

struct PackageArguments {
  PackageOptions options;
  std::string card, bootloader, sdisk, imageEa1, imageEa2, imageEb;
  bool json = false;
};

void PrintPackage(const std::vector<PackagedFile>& written, bool asJson) {
  if (asJson) {
    nlohmann::json files = nlohmann::json::array();
    for (const PackagedFile& file : written)
      files.push_back({{"path", file.path.string()},
                       {"card_path", file.cardPath},
                       {"size", file.size},
                       {"key_index", file.keyIndex},
                       {"key", file.key}});
    std::cout << nlohmann::json{{"files", files}}.dump() << "\n";
    return;
  }
  for (const PackagedFile& file : written)
    std::cout << file.path.string() << ": " << file.size << " bytes, signed with built-in key "
              << file.keyIndex << " (" << file.key << ")\n";
}

}  // namespace

bool UsePublicKeyFile(const std::string& file, std::string* error) {
  // The given key takes the place of built-in key 0: the verifier reloads its one-key cache
  // only when the index changes, so a cache that already holds index 0 is used as it is.
  Bytes key;
  if (!ReadWholeFile(file, &key, error)) return false;
  const std::string_view text(reinterpret_cast<const char*>(key.data()), key.size());
  if (text.find("-----BEGIN") != std::string_view::npos) {
    *error = file +
             ": a PEM file; --public-key takes the key's DER form (the keyN.der beside "
             "keyN.pem; openssl pkey -pubout -outform DER makes one)";
    return false;
  }
  // A DER key is one SEQUENCE, and no longer than the verifier's key cache.
  if (key.empty() || key[0] != 0x30 || key.size() > ActiveKeyCapacity) {
    *error = file + ": not a DER public key (" + std::to_string(key.size()) +
             " bytes; a DER SubjectPublicKeyInfo begins with 0x30 and has at most " +
             std::to_string(ActiveKeyCapacity) + ")";
    return false;
  }
  std::memcpy(ActiveKey.bytes, key.data(), key.size());
  ActiveKey.length = static_cast<DWORD>(key.size());
  ActiveKey.index = 0;
  return true;
}

int BuildPackage(const PackageOptions& options, std::vector<PackagedFile>* written) {
  std::string error;
  // Everything is checked before anything is written: the keys (each for the slots it signs),
  // the inputs and the card files.
  signer::Passphrase passphrase;
  if (!PassphraseOf(options.passphrase, &passphrase, &error)) return ReportError(error);
  SigningKey keys[KeyCount];
  for (unsigned index = 0; index < KeyCount; ++index) {
    // Key N is the token's object "keyN", or the file keyN.pem of the key directory.
    std::string reference;
    if (signer::IsTokenUri(options.keys)) {
      if (!signer::TokenObjectUri(options.keys, KeyLabel(index), &reference, &error))
        return ReportError("--keys " + signer::RedactedUri(options.keys) + ": " + error);
    } else {
      reference = KeyFile(options.keys, index, ".pem").string();
      std::error_code code;
      if (!std::filesystem::is_regular_file(reference, code))
        return ReportError("--keys " + options.keys + ": " + KeyLabel(index) + ".pem is missing");
    }
    if (!LoadKey(reference, &passphrase, &keys[index], &error)) return ReportError(error);
  }
  const std::filesystem::path inputs[] = {options.sdisk, options.bootloader, options.imageEa1,
                                          options.imageEa2, options.imageEb};
  for (const std::filesystem::path& input : inputs) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(input, code))
      return ReportError(input.string() + ": is not a file");
  }
  // The inputs in the order of CardSlots().
  const std::span<const CardSlot> slots = CardSlots();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::string mismatch =
        KeyMismatch(keys[slots[i].keyIndex].key, &slots[i], keys[slots[i].keyIndex].name);
    if (!mismatch.empty() && !options.foreignKeys)
      return ReportError(mismatch + " (--foreign-key signs with it all the same)");
    if (!CheckOutput(options.card / slots[i].cardPath, inputs, options.existing, &error))
      return ReportError(error);
  }
  const signer::ImageHeader header{};
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::filesystem::path target = options.card / slots[i].cardPath;
    std::error_code code;
    std::filesystem::create_directories(target.parent_path(), code);
    if (code) return ReportError(target.parent_path().string() + ": " + code.message());
    SignedFile signedFile;
    if (!SignFile(keys[slots[i].keyIndex], header, options.recordSize, inputs[i], target,
                  options.existing, &signedFile, &error))
      return ReportError(error);
    if (written != nullptr)
      written->push_back({target, slots[i].cardPath, signedFile.size, slots[i].keyIndex,
                          keys[slots[i].keyIndex].name});
  }
  return kExitSuccess;
}

namespace {

// The options sign and package share: the passphrase, foreign keys and replacing outputs.
void AddSigningOptions(CLI::App* command, std::optional<std::string>* passin, bool* foreignKey,
                       bool* force, const char* outputs) {
  command
      ->add_option("--passin", *passin,
                   "where the passphrase of encrypted PEM keys comes from: pass:TEXT, "
                   "env:VARIABLE, file:PATH, fd:NUMBER or stdin (default: asked on the terminal)")
      ->type_name("SOURCE")
      ->check(CLI::Validator(
          [](std::string& value) {
            signer::Passphrase passphrase;
            std::string error;
            return passphrase.SetSource(value, &error) ? std::string() : error;
          },
          "", ""));
  command->add_flag("--foreign-key", *foreignKey,
                    "sign with a key this orvanta's key table does not hold for the file's slot "
                    "(another build's key, or to test a refusal); the device it was built for "
                    "refuses such files");
  command->add_flag("--force", *force, std::string("replace ") + outputs);
}

void AddPackageCommand(CLI::App& app, int* status) {
  auto package = std::make_shared<PackageArguments>();
  CLI::App* packageCommand = app.add_subcommand(
      "package", "sign the package files onto a card directory, each with its slot's key");
  packageCommand
      ->add_option("--keys", package->options.keys,
                   "directory with key0.pem..key3.pem, or a pkcs11: URI of a token with the "
                   "objects key0..key3")
      ->type_name("DIR")
      ->required();
  packageCommand->add_option("--card", package->card, "the card directory to write")
      ->type_name("DIR")
      ->required();
  packageCommand
      ->add_option("--bootloader", package->bootloader, "raw bootloader image (seboot.nb0, key 0)")
      ->type_name("FILE")
      ->required();
  packageCommand->add_option("--sdisk", package->sdisk, "disk image (sdisk.bc, key 0)")
      ->type_name("FILE")
      ->required();
  packageCommand->add_option("--image-ea1", package->imageEa1, "variant 1 image (EA1, key 1)")
      ->type_name("FILE")
      ->required();
  packageCommand->add_option("--image-ea2", package->imageEa2, "variant 2 image (EA2, key 2)")
      ->type_name("FILE")
      ->required();
  packageCommand->add_option("--image-eb", package->imageEb, "variant 3 image (EB, key 3)")
      ->type_name("FILE")
      ->required();
  packageCommand
      ->add_option("--record-size", package->options.recordSize,
                   "payload bytes per record (default 64K)")
      ->type_name("SIZE")
      ->transform(SizeValue())
      ->check(Bounded(1, 0x7FFFFFFF));
  auto force = std::make_shared<bool>(false);
  AddSigningOptions(packageCommand, &package->options.passphrase, &package->options.foreignKeys,
                    force.get(), "card files that exist");
  packageCommand->add_flag("--json", package->json, "list what was written as JSON");
  packageCommand->footer(
      "Example:\n  orvanta package --keys keys/dev --card \"device/SD Card\" --bootloader boot.bin"
      " \\\n      --sdisk disk.img --image-ea1 a1.img --image-ea2 a2.img --image-eb b.img\n");
  packageCommand->callback([package, force, status] {
    PackageOptions options = package->options;
    options.card = package->card;
    options.bootloader = package->bootloader;
    options.sdisk = package->sdisk;
    options.imageEa1 = package->imageEa1;
    options.imageEa2 = package->imageEa2;
    options.imageEb = package->imageEb;
    options.existing = *force ? Existing::Replace : Existing::Keep;
    std::vector<PackagedFile> written;
    *status = BuildPackage(options, &written);
    if (*status == kExitSuccess) PrintPackage(written, package->json);
  });
}

}  // namespace

void AddImageCommands(CLI::App& app, int* status) {
  auto keygen = std::make_shared<KeygenArguments>();
  CLI::App* keygenCommand = app.add_subcommand(
      "keygen", "four RSA-1024 key pairs (e = 65537): key0..3.pem and the 162-byte key0..3.der");
  keygenCommand->add_option("DIR", keygen->directory, "directory for the keys")
      ->type_name("DIR")
      ->required();
  keygenCommand
      ->add_option("--token", keygen->token,
                   "generate the pairs on this PKCS#11 token (objects key0..key3); only the .der "
                   "files are written")
      ->type_name("URI");
  keygenCommand->add_flag("--json", keygen->json, "list the key files written as JSON");
  keygenCommand->footer(
      "Examples:\n  orvanta keygen ./mykeys\n"
      "  ORVANTA_PKCS11_PIN=... orvanta keygen ./release-keys --token pkcs11:token=release\n");
  keygenCommand->callback([keygen, status] { *status = RunKeygen(*keygen); });

  auto sign = std::make_shared<SignArguments>();
  CLI::App* signCommand =
      app.add_subcommand("sign", "a signed image of a file, with a key of the updater's key table");
  signCommand->add_option("--key", sign->key, "the private key: a PEM file or a pkcs11: URI")
      ->type_name("FILE")
      ->required()
      ->check(NotADirectory());
  signCommand
      ->add_option("--slot", sign->slot,
                   "the card file the image is for, whose built-in key must sign it (default: "
                   "from OUTPUT's name, e.g. seboot.nb0 or EA2/syaffs.bc; otherwise any "
                   "built-in key)")
      ->check(CLI::IsMember(CardSlotNames()));
  signCommand
      ->add_option("--header", sign->header,
                   "the 16-byte image header as 32 hex digits (default zeros)")
      ->type_name("HEX32")
      ->check(Readable<HeaderArgument>("32 hex digits"));
  signCommand
      ->add_option("--record-size", sign->recordSize, "payload bytes per record (default 64K)")
      ->type_name("SIZE")
      ->transform(SizeValue())
      ->check(Bounded(1, 0x7FFFFFFF));
  AddSigningOptions(signCommand, &sign->passin, &sign->foreignKey, &sign->force,
                    "OUTPUT if it exists");
  signCommand->add_flag("--json", sign->json, "describe the signed file as JSON");
  signCommand->add_option("INPUT", sign->input, "the file to sign")->type_name("FILE")->required();
  signCommand->add_option("OUTPUT", sign->output, "the signed image to write")
      ->type_name("FILE")
      ->required();
  signCommand->footer("Example:\n  orvanta sign --key keys/dev/key0.pem boot.bin seboot.nb0\n");
  signCommand->callback([sign, status] { *status = RunSign(*sign); });

  auto verify = std::make_shared<VerifyArguments>();
  CLI::App* verifyCommand = app.add_subcommand(
      "verify", "run the device's own verifier on a signed image; exit 0 only for a result > 0");
  verifyCommand->add_option("FILE", verify->file, "the signed image")
      ->type_name("FILE")
      ->required();
  CLI::Option* keyIndex =
      verifyCommand->add_option("--key-index", verify->keyIndex, "built-in key N (0..3)")
          ->type_name("N")
          ->transform(NumberValue())
          ->check(Bounded(0, KeyCount - 1));
  verifyCommand
      ->add_option("--public-key", verify->publicKey,
                   "a DER public key, used in place of built-in key 0")
      ->type_name("FILE")
      ->excludes(keyIndex);
  verifyCommand
      ->add_option("--compact", verify->compact,
                   "write the compacted image (the payloads back to back) to FILE")
      ->type_name("FILE");
  verifyCommand->add_flag("--force", verify->force, "replace the --compact FILE if it exists");
  verifyCommand->add_flag("--json", verify->json,
                          "print {\"result\", \"valid\", \"records\", \"payload_bytes\", \"key\"}");
  verifyCommand->footer(
      "Examples:\n  orvanta verify \"device/SD Card/sdisk.bc\" --key-index 0\n"
      "  orvanta verify image.bc --public-key mykeys/key2.der --compact image.raw --json\n");
  verifyCommand->callback([verify, status] { *status = RunVerify(*verify); });

  AddPackageCommand(app, status);
}

}  // namespace orvanta
