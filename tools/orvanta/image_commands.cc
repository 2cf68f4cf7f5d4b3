// keygen, sign, verify and package: keys and signed images.
#include <array>
#include <cstring>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/dialog_framework.h"
#include "signing/image_verifier.h"
#include "signing/key_table.h"
#include "signing/record_observer.h"
#include "tools/orvanta/commands.h"
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
int RunTokenKeygen(const std::filesystem::path& directory, const std::string& token) {
  for (unsigned index = 0; index < KeyCount; ++index) {
    std::string uri, error;
    signer::Bytes der;
    if (!signer::TokenObjectUri(token, KeyLabel(index), &uri, &error) ||
        !signer::GenerateTokenKey(uri, kKeyBits, &der, &error))
      return ReportError(signer::RedactedUri(token) + ": " + KeyLabel(index) + ": " + error);
    if (der.size() != BuiltInKeySize)
      return ReportError(KeyLabel(index) + ": the public key has " + std::to_string(der.size()) +
                         " bytes, expected 162");
    if (!WriteFileAtomically(KeyFile(directory, index, ".der"), der, &error))
      return ReportError(error);
  }
  return kExitSuccess;
}

int RunKeygen(const std::string& directoryText, const std::optional<std::string>& token) {
  const std::filesystem::path directory = directoryText;
  std::error_code code;
  for (unsigned index = 0; index < KeyCount; ++index)
    for (const char* extension : {".pem", ".der"})
      if (std::filesystem::exists(KeyFile(directory, index, extension), code))
        return ReportError(KeyFile(directory, index, extension).string() +
                           ": exists; keygen never replaces a key");
  if (token && !signer::IsTokenUri(*token))
    return ReportError("--token: \"" + *token + "\" is not a pkcs11: URI");
  std::filesystem::create_directories(directory, code);
  if (code) return ReportError(directory.string() + ": " + code.message());
  if (token) return RunTokenKeygen(directory, *token);
  for (unsigned index = 0; index < KeyCount; ++index) {
    std::string error;
    const signer::PrivateKey key = signer::GenerateRsaKey(kKeyBits, &error);
    std::string pem;
    signer::Bytes der;
    if (!key || !signer::WritePrivateKeyPem(key, &pem, &error) ||
        !signer::PublicKeyDer(key, &der, &error))
      return ReportError("key " + std::to_string(index) + ": " + error);
    if (der.size() != BuiltInKeySize)
      return ReportError("key " + std::to_string(index) + ": the public key has " +
                         std::to_string(der.size()) + " bytes, expected 162");
    const std::span<const std::uint8_t> pemBytes(reinterpret_cast<const std::uint8_t*>(pem.data()),
                                                 pem.size());
    if (!WriteFileAtomically(KeyFile(directory, index, ".pem"), pemBytes, &error) ||
        !WriteFileAtomically(KeyFile(directory, index, ".der"), der, &error))
      return ReportError(error);
    std::filesystem::permissions(
        KeyFile(directory, index, ".pem"),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, code);
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

// A --record-size text: a number of bytes (K and M suffixes allowed), 1..2^31-1.
bool ParseRecordSize(const std::optional<std::string>& text, std::uint64_t* recordSize,
                     std::string* error) {
  if (!text) return true;
  const std::optional<std::uint64_t> value = ParseNumber(*text);
  if (!value) {
    *error = "--record-size: \"" + *text + "\" is not a number of bytes";
    return false;
  }
  *recordSize = *value;
  return true;
}

bool CheckRecordSize(std::uint64_t recordSize, std::string* error) {
  if (recordSize == 0 || recordSize > 0x7FFFFFFF) {
    *error = "--record-size: must be 1..2147483647 bytes";
    return false;
  }
  return true;
}

// Signs `input` into `output` with the key of a PEM file or a pkcs11: URI.
bool SignFile(const std::string& keyReference, const signer::ImageHeader& header,
              std::uint64_t recordSize, const std::filesystem::path& input,
              const std::filesystem::path& output, std::string* error) {
  const signer::PrivateKey key = signer::LoadSigningKey(keyReference, error);
  if (!key) {
    if (!signer::IsTokenUri(keyReference)) *error = keyReference + ": " + *error;
    return false;
  }
  Bytes payload;
  if (!ReadWholeFile(input, &payload, error)) return false;
  signer::Bytes image;
  if (!SignWithProgress(payload, key, header, recordSize, "signing " + input.filename().string(),
                        &image, error))
    return false;
  if (image.size() > 0xFFFFFFFFu) {
    *error = input.string() + ": the signed image would exceed 4 GiB, more than a device maps";
    return false;
  }
  return WriteFileAtomically(output, image, error);
}

struct SignArguments {
  std::string key, input, output;
  std::optional<std::string> header;
  std::optional<std::string> recordSize;
};

int RunSign(const SignArguments& arguments) {
  signer::ImageHeader header{};
  if (arguments.header) {
    const std::optional<Bytes> bytes = ParseHex(*arguments.header, signer::ImageHeaderSize);
    if (!bytes) return ReportError("--header: \"" + *arguments.header + "\" is not 32 hex digits");
    std::copy(bytes->begin(), bytes->end(), header.begin());
  }
  std::string error;
  std::uint64_t recordSize = kDefaultRecordSize;
  if (!ParseRecordSize(arguments.recordSize, &recordSize, &error) ||
      !CheckRecordSize(recordSize, &error) ||
      !SignFile(arguments.key, header, recordSize, arguments.input, arguments.output, &error))
    return ReportError(error);
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

// Appends each payload the verifier accepts to the compacted file: the payloads back to back,
// in file order, as the verifier's own compaction leaves them.
struct PayloadWriter {
  std::span<const std::uint8_t> image;
  AtomicFileWriter output;
  std::string error;

  static void Observe(void* context, const RecordObservation& record) {
    auto* writer = static_cast<PayloadWriter*>(context);
    if (record.verdict != RecordVerdict::Good || !writer->error.empty()) return;
    writer->output.Write(
        writer->image.subspan(record.offset + RecordHeadSize, record.payloadLength),
        &writer->error);
  }
};

struct VerifyArguments {
  std::string file;
  std::optional<unsigned> keyIndex;
  std::optional<std::string> publicKey, compact;
  bool json = false;
};

int RunVerify(const VerifyArguments& arguments) {
  if (arguments.keyIndex.has_value() == arguments.publicKey.has_value())
    return ReportError("verify: give exactly one of --key-index and --public-key");
  std::string error;
  DWORD keyIndex = 0;
  if (arguments.keyIndex) {
    // Indexes from 4 up are passed on: the verifier's answer to them (-1) is what is shown.
    keyIndex = *arguments.keyIndex;
  } else {
    if (!UsePublicKeyFile(*arguments.publicKey, &error)) return ReportError(error);
  }
  // The image is mapped, never loaded; a compacted copy is written record by record as the
  // verifier accepts them, and kept only when the whole image verifies.
  MappedImage image;
  if (!image.Open(arguments.file, &error)) return ReportError(error);
  if (image.Content().size() > 0xFFFFFFFFu)
    return ReportError(arguments.file + ": larger than 4 GiB, more than a device maps");
  PayloadWriter payloads{image.Content(), {}, {}};
  if (arguments.compact && !payloads.output.Open(*arguments.compact, &error))
    return ReportError(error);
  TerminalProgressBar progress("verifying " +
                               std::filesystem::path(arguments.file).filename().string());
  if (arguments.compact) SetRecordObserver(&PayloadWriter::Observe, &payloads);
  static BYTE emptyFile[1];
  // Verify-only: the mapping is read-only and the verifier does not write to it.
  BYTE* buffer = image.Content().empty() ? emptyFile : const_cast<BYTE*>(image.Content().data());
  const LONG result = VerifyImage(nullptr, buffer, static_cast<DWORD>(image.Content().size()),
                                  keyIndex, TRUE, progress.Handle());
  SetRecordObserver(nullptr, nullptr);
  progress.Finish();
  if (arguments.json)
    std::cout << nlohmann::json{{"result", result}}.dump() << "\n";
  else
    std::cout << result << "\n";
  if (result <= 0) return kExitNegative;
  if (arguments.compact && (!payloads.error.empty() || !payloads.output.Commit(&error)))
    return ReportError(payloads.error.empty() ? error : payloads.error);
  return kExitSuccess;
}

struct PackageArguments {
  PackageOptions options;
  std::string keys, card, bootloader, sdisk, imageEa1, imageEa2, imageEb;
  std::optional<std::string> recordSize;
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
    std::cout << file.path.string() << ": " << file.size << " bytes, key " << file.keyIndex << " ("
              << file.key << ")\n";
}

}  // namespace

bool UsePublicKeyFile(const std::string& file, std::string* error) {
  // The given key takes the place of built-in key 0: the verifier reloads its one-key cache
  // only when the index changes, so a cache that already holds index 0 is used as it is.
  Bytes key;
  if (!ReadWholeFile(file, &key, error)) return false;
  if (key.empty() || key.size() > ActiveKeyCapacity) {
    *error = "--public-key: " + file + " has " + std::to_string(key.size()) +
             " bytes; a DER key has 1.." + std::to_string(ActiveKeyCapacity);
    return false;
  }
  std::memcpy(ActiveKey.bytes, key.data(), key.size());
  ActiveKey.length = static_cast<DWORD>(key.size());
  ActiveKey.index = 0;
  return true;
}

int BuildPackage(const PackageOptions& options, std::vector<PackagedFile>* written) {
  std::string error;
  if (!CheckRecordSize(options.recordSize, &error)) return ReportError(error);
  // Key N is the token's object "keyN", or the file keyN.pem of the key directory.
  std::string keys[KeyCount];
  for (unsigned index = 0; index < KeyCount; ++index) {
    if (signer::IsTokenUri(options.keys)) {
      if (!signer::TokenObjectUri(options.keys, KeyLabel(index), &keys[index], &error))
        return ReportError("--keys: " + signer::RedactedUri(options.keys) + ": " + error);
      continue;
    }
    keys[index] = KeyFile(options.keys, index, ".pem").string();
    std::error_code code;
    if (!std::filesystem::is_regular_file(keys[index], code))
      return ReportError("--keys: " + keys[index] + " is missing");
  }
  for (const std::filesystem::path* input : {&options.bootloader, &options.sdisk, &options.imageEa1,
                                             &options.imageEa2, &options.imageEb}) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(*input, code))
      return ReportError(input->string() + ": is not a file");
  }
  struct Output {
    const std::filesystem::path* input;
    unsigned key;
    std::filesystem::path target;
  };
  const Output outputs[] = {
      {&options.sdisk, 0, options.card / "sdisk.bc"},
      {&options.bootloader, 0, options.card / "seboot.nb0"},
      {&options.imageEa1, 1, options.card / "EA1" / "syaffs.bc"},
      {&options.imageEa2, 2, options.card / "EA2" / "syaffs.bc"},
      {&options.imageEb, 3, options.card / "EB" / "syaffs.bc"},
  };
  const signer::ImageHeader header{};
  for (const Output& output : outputs) {
    std::error_code code;
    std::filesystem::create_directories(output.target.parent_path(), code);
    if (code) return ReportError(output.target.parent_path().string() + ": " + code.message());
    if (!SignFile(keys[output.key], header, options.recordSize, *output.input, output.target,
                  &error))
      return ReportError(error);
    if (written != nullptr)
      written->push_back({output.target,
                          output.target.lexically_relative(options.card).generic_string(),
                          std::filesystem::file_size(output.target, code), output.key,
                          signer::RedactedUri(keys[output.key])});
  }
  return kExitSuccess;
}

namespace {

// orvanta package: its options, and the run that signs every file onto the card.
void AddPackageCommand(CLI::App& app, int* status) {
  auto package = std::make_shared<PackageArguments>();
  CLI::App* packageCommand =
      app.add_subcommand("package", "sign the package files onto a card directory");
  packageCommand
      ->add_option("--keys", package->keys,
                   "directory with key0.pem..key3.pem, or a pkcs11: URI of a token with the "
                   "objects key0..key3")
      ->type_name("DIR")
      ->required();
  packageCommand->add_flag("--json", package->json, "list what was written as JSON");
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
  packageCommand->add_option("--record-size", package->recordSize,
                             "payload bytes per record (default 65536)");
  packageCommand->footer(
      "Example:\n  orvanta package --keys keys/dev --card \"device/SD Card\" --bootloader boot.bin"
      " \\\n      --sdisk disk.img --image-ea1 a1.img --image-ea2 a2.img --image-eb b.img\n");
  packageCommand->callback([package, status] {
    PackageOptions options = package->options;
    options.keys = package->keys;
    options.card = package->card;
    options.bootloader = package->bootloader;
    options.sdisk = package->sdisk;
    options.imageEa1 = package->imageEa1;
    options.imageEa2 = package->imageEa2;
    options.imageEb = package->imageEb;
    std::string error;
    if (!ParseRecordSize(package->recordSize, &options.recordSize, &error)) {
      *status = ReportError(error);
      return;
    }
    std::vector<PackagedFile> written;
    *status = BuildPackage(options, &written);
    if (*status == kExitSuccess) PrintPackage(written, package->json);
  });
}

}  // namespace

void AddImageCommands(CLI::App& app, int* status) {
  auto keygen = std::make_shared<std::pair<std::string, std::optional<std::string>>>();
  CLI::App* keygenCommand = app.add_subcommand(
      "keygen", "four RSA-1024 key pairs (e = 65537): key0..3.pem and the 162-byte key0..3.der");
  keygenCommand->add_option("DIR", keygen->first, "directory for the keys")->required();
  keygenCommand->add_option("--token", keygen->second,
                            "generate the pairs on this PKCS#11 token (objects key0..key3); only "
                            "the .der files are written");
  keygenCommand->footer(
      "Examples:\n  orvanta keygen ./mykeys\n"
      "  ORVANTA_PKCS11_PIN=... orvanta keygen ./release-keys --token pkcs11:token=release\n");
  keygenCommand->callback([keygen, status] { *status = RunKeygen(keygen->first, keygen->second); });

  auto sign = std::make_shared<SignArguments>();
  CLI::App* signCommand = app.add_subcommand("sign", "a signed image of a file");
  signCommand->add_option("--key", sign->key, "the private key: a PEM file or a pkcs11: URI")
      ->type_name("FILE")
      ->required();
  signCommand->add_option("--header", sign->header,
                          "the 16-byte image header as 32 hex digits (default zeros)");
  signCommand->add_option("--record-size", sign->recordSize,
                          "payload bytes per record (default 65536)");
  signCommand->add_option("INPUT", sign->input, "the file to sign")->type_name("FILE")->required();
  signCommand->add_option("OUTPUT", sign->output, "the signed image to write")
      ->type_name("FILE")
      ->required();
  signCommand->footer("Example:\n  orvanta sign --key keys/dev/key0.pem boot.bin seboot.nb0\n");
  signCommand->callback([sign, status] { *status = RunSign(*sign); });

  auto verify = std::make_shared<VerifyArguments>();
  CLI::App* verifyCommand = app.add_subcommand(
      "verify", "run the device's own verifier on a signed image; exit 0 only for a result > 0");
  verifyCommand->add_option("FILE", verify->file, "the signed image")->required();
  verifyCommand->add_option("--key-index", verify->keyIndex, "built-in key N (0..3)");
  verifyCommand
      ->add_option("--public-key", verify->publicKey,
                   "a DER public key, used in place of built-in key 0")
      ->type_name("FILE");
  verifyCommand
      ->add_option("--compact", verify->compact,
                   "write the compacted image (the payloads back to back)")
      ->type_name("FILE");
  verifyCommand->add_flag("--json", verify->json, "print {\"result\": N}");
  verifyCommand->footer(
      "Examples:\n  orvanta verify \"device/SD Card/sdisk.bc\" --key-index 0\n"
      "  orvanta verify image.bc --public-key mykeys/key2.der --compact image.raw --json\n");
  verifyCommand->callback([verify, status] { *status = RunVerify(*verify); });

  AddPackageCommand(app, status);
}

}  // namespace orvanta
