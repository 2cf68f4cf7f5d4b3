// digest and check-signature: the device's hash objects and signature check on files.
#include <cstdio>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "signing/hash_object.h"
#include "signing/signature_check.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/image_inspection.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

const std::vector<std::string> kAlgorithmNames = {"sha1", "md5"};

ALG_ID AlgorithmOf(const std::string& name) {
  return name == "md5" ? CALG_MD5 : CALG_SHA1;
}

// The device hash object's digest of `content`, fed in pieces so that a progress bar can
// follow a large file.
bool DigestOf(ALG_ID algorithm, const Bytes& content, const std::string& label, Bytes* digest,
              std::string* error) {
  HashObject* handle = nullptr;
  if (CreateHashObject(algorithm, &handle) != 0) {
    *error = "the hash object cannot be created";
    return false;
  }
  constexpr std::size_t kPiece = 1 << 20;
  ProgressBar progress(label, content.size());
  for (std::size_t start = 0; start < content.size(); start += kPiece) {
    const ByteBlob blob{static_cast<DWORD>(std::min(kPiece, content.size() - start)),
                        content.data() + start};
    if (HashDataBlobs(algorithm, handle, 1, &blob) != 0) {
      *error = "hashing failed";
      return false;
    }
    progress.Update(start + blob.length);
  }
  digest->assign(MaxDigestSize, 0);
  DWORD length = 0;
  if (GetHashValue(algorithm, handle, digest->data(), &length) != 0) {
    *error = "the digest cannot be read";
    return false;
  }
  digest->resize(length);
  return true;
}

struct DigestArguments {
  std::string algorithm, file;
  bool json = false;
};

int RunDigest(const DigestArguments& arguments) {
  Bytes content;
  Bytes digest;
  std::string error;
  if (!ReadWholeFile(arguments.file, &content, &error) ||
      !DigestOf(AlgorithmOf(arguments.algorithm), content, "hashing", &digest, &error))
    return ReportError(error);
  if (arguments.json)
    std::cout
        << nlohmann::json{{"algorithm", arguments.algorithm}, {"digest", ToHex(digest)}}.dump()
        << "\n";
  else
    std::cout << ToHex(digest) << "\n";
  return kExitSuccess;
}

struct CheckArguments {
  std::string publicKey, algorithm, signature, message;
  bool json = false;
};

int RunCheckSignature(const CheckArguments& arguments) {
  Bytes key, signature, message, digest;
  std::string error;
  if (!ReadWholeFile(arguments.publicKey, &key, &error) ||
      !ReadWholeFile(arguments.signature, &signature, &error) ||
      !ReadWholeFile(arguments.message, &message, &error))
    return ReportError(error);
  if (key.size() > 0xFFFF || signature.size() > 0xFFFF)
    return ReportError("--public-key or --signature: far larger than any RSA key or signature");
  const ALG_ID algorithm = AlgorithmOf(arguments.algorithm);
  if (!DigestOf(algorithm, message, "hashing", &digest, &error)) return ReportError(error);
  const DWORD code =
      VerifyDigestSignature(algorithm, digest.data(), static_cast<DWORD>(digest.size()),
                            ByteBlob{static_cast<DWORD>(signature.size()), signature.data()},
                            ByteBlob{static_cast<DWORD>(key.size()), key.data()});
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  if (arguments.json)
    std::cout << nlohmann::json{{"code", code}, {"text", text}}.dump() << "\n";
  else
    std::cout << text << " "
              << (code == 0 ? "(the signature verifies)" : SignatureCodeName(code)) << "\n";
  return code == 0 ? kExitSuccess : kExitNegative;
}

}  // namespace

void AddSignatureCommands(CLI::App& app, int* status) {
  auto digest = std::make_shared<DigestArguments>();
  CLI::App* digestCommand =
      app.add_subcommand("digest", "the device hash object's digest of a file, in hex");
  digestCommand->add_option("--alg", digest->algorithm, "sha1 or md5")
      ->required()
      ->check(CLI::IsMember(kAlgorithmNames));
  digestCommand->add_option("FILE", digest->file, "the file to hash")
      ->type_name("FILE")
      ->required();
  digestCommand->add_flag("--json", digest->json, "print {\"algorithm\", \"digest\"}");
  digestCommand->footer("Example:\n  orvanta digest --alg sha1 \"device/SD Card/sdisk.bc\"\n");
  digestCommand->callback([digest, status] { *status = RunDigest(*digest); });

  auto check = std::make_shared<CheckArguments>();
  CLI::App* checkCommand = app.add_subcommand(
      "check-signature",
      "hash MESSAGE and run the device's signature check; prints the code, exit 0 only for 0");
  checkCommand->add_option("--public-key", check->publicKey, "DER SubjectPublicKeyInfo")
      ->type_name("FILE")
      ->required();
  checkCommand->add_option("--alg", check->algorithm, "sha1 or md5")
      ->required()
      ->check(CLI::IsMember(kAlgorithmNames));
  checkCommand
      ->add_option("--signature", check->signature, "the signature, most significant byte first")
      ->type_name("FILE")
      ->required();
  checkCommand->add_option("MESSAGE", check->message, "the signed message")
      ->type_name("FILE")
      ->required();
  checkCommand->add_flag("--json", check->json, "print {\"code\", \"text\"}");
  checkCommand->footer(
      "Example:\n  orvanta check-signature --public-key keys/dev/key0.der --alg sha1 \\\n"
      "      --signature message.sig message.bin\n");
  checkCommand->callback([check, status] { *status = RunCheckSignature(*check); });
}

}  // namespace orvanta
