// Hostile signed files: PE headers, certificate tables, key packs and marker
// resources, through the signature manager and the multiple-signature verifier.
#include <algorithm>

#include "MultiPleSignCheck.h"
#include "corpus_manifest.h"
#include "ds_BsnDSManager.h"
#include "ds_test_provider.h"
#include "libCvMultiLang.h"
#include "mutation.h"
#include "test_support.h"

using namespace Mutation;
using KsxTest::Wide;
using namespace KsxCorpus;

namespace {

std::wstring Corpus(const wchar_t* name) { return KsxTest::ExeDir() + kRelativeDir + name; }

constexpr DWORD kAllPolicies = 0x10001;

using DsTest::CPlatform;
using DsTest::CPlatformScope;

// A little-endian field of the bytes; 0 past their end.
template <typename T = DWORD>
T At(const std::string& b, size_t at)
{
    T v = 0;
    if (at + sizeof(T) <= b.size())
        memcpy(&v, &b[at], sizeof(T));
    return v;
}
std::string Patched(std::string b, size_t at, ULONGLONG value, size_t width)
{
    if (at + width <= b.size())
        memcpy(&b[at], &value, width);
    return b;
}

// Where the headers of a PE file are (64-bit optional header).
struct CPeLayout {
    explicit CPeLayout(const std::string& b)
        : nt(At(b, 0x3C)), optional(nt + 24), checksum(optional + 64), directories(optional + 112),
          certEntry(directories + 4 * 8), headersEnd(At(b, optional + 60))
    {
    }
    // A file offset for an RVA, through the section table; 0 when none holds it.
    size_t Offset(const std::string& b, DWORD rva) const
    {
        const size_t sections = optional + At<WORD>(b, nt + 20);
        for (WORD i = 0; i < At<WORD>(b, nt + 6); ++i) {
            const size_t s = sections + 40 * i;
            const DWORD va = At(b, s + 12), raw = At(b, s + 20), size = At(b, s + 16);
            if (rva >= va && rva < va + size)
                return raw + (rva - va);
        }
        return 0;
    }
    // The bytes with `flips` bytes below `end` changed, never the checksum
    // or the certificate table's entry.
    std::string Flipped(CMutator& m, std::string b, size_t end, size_t flips) const
    {
        for (size_t k = 0; k < flips; ++k) {
            size_t at = 0;
            do
                at = m.Pick(std::min(end, b.size()));
            while ((at >= checksum && at < checksum + 4) || (at >= certEntry && at < certEntry + 8));
            b[at] = static_cast<char>(b[at] ^ (1 + m.Pick(255)));
        }
        return b;
    }
    size_t nt, optional, checksum, directories, certEntry, headersEnd;
};

// The certificate table's directory entry: offset and size.
ULONGLONG Table(DWORD offset, DWORD size) { return offset | ULONGLONG(size) << 32; }

// Named variants of a file: cut at each length, or with each value written
// over `width` bytes at `at`.
using Files = std::vector<std::pair<std::string, std::string>>;
void AddTruncated(Files& files, const std::string& v, std::initializer_list<size_t> lengths)
{
    for (const size_t length : lengths)
        files.push_back({"truncated at " + std::to_string(length), v.substr(0, length)});
}
void AddPatched(Files& files, const std::string& v, const std::string& what, size_t at, size_t width,
                std::initializer_list<ULONGLONG> values)
{
    for (const ULONGLONG value : values)
        files.push_back({what + " " + std::to_string(value), Patched(v, at, value, width)});
}

// What the forced-integrity test must answer: the flag where the headers are
// whole, else no.
int ForcedIntegrity(const std::string& b)
{
    const size_t nt = At(b, 0x3C);
    if (b.size() < 64 || At<WORD>(b, 0) != IMAGE_DOS_SIGNATURE || static_cast<LONG>(nt) < 0 || nt + 96 > b.size() ||
        At(b, nt) != IMAGE_NT_SIGNATURE)
        return 0;
    const WORD magic = At<WORD>(b, nt + 24);
    if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return 0;
    return (At<WORD>(b, nt + 24 + 70) & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY) ? 1 : 0;
}

CVerifyFileSignV2::PublicKey PrimaryKeyOf(const std::wstring& path)
{
    CVerifyFileSignV2::PublicKey key;
    std::wstring signer;
    std::vector<CVerifyFileSignV2::PublicKey> nested;
    CVerifyFileSignV2::GetInstance()->VerifySignatureAndGetCertInfo(path.c_str(), key, signer, nested);
    return key;
}

class SignMutationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved = m_verifier.ExchangePublicKeys({});
        m_registry.SetString("", "Application Path", m_install.Path());
        ::CreateDirectoryA((m_install.Path() + "Misc").c_str(), nullptr);
    }
    void TearDown() override { m_verifier.ExchangePublicKeys(m_saved); }
    std::wstring Scratch(const std::string& name, const std::string& bytes)
    {
        const std::wstring path = Wide(m_scratch.Path() + name);
        DsTest::WriteBytes(path, bytes);
        return path;
    }
    // Refused everywhere: the manager on each platform (or Wine's only), the
    // certificate-information check, and the verifier's fallback with the
    // vendor's key.
    void ExpectRefused(const std::wstring& file,
                       std::initializer_list<CPlatform> platforms = {CPlatform::Wine, CPlatform::WindowsSingle,
                                                                     CPlatform::WindowsMultiple})
    {
        for (const CPlatform p : platforms) {
            SCOPED_TRACE(static_cast<int>(p));
            CPlatformScope platform(p);
            const SignatureCheckResult r =
                CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), kAllPolicies, false);
            EXPECT_FALSE(r.bVerified);
            EXPECT_NE(r.dwError, 0u);
            EXPECT_FALSE(CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile(file.c_str(), 1));
            if (p == CPlatform::WindowsSingle) {
                WINTRUST_DATA templ = {};
                templ.cbStruct = sizeof(templ);
                templ.dwUIChoice = WTD_UI_NONE;
                templ.dwUnionChoice = WTD_CHOICE_FILE;
                EXPECT_EQ(m_verifier.VerifyEmbeddedSignatureByCertInfo(file.c_str(), &templ), 0);
            }
        }
    }

    CVerifyFileSignV2& m_verifier = *CVerifyFileSignV2::GetInstance();
    CVerifyFileSignV2::PublicKeySet m_saved;
    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_install, m_scratch;
};

// Headers of a signed file broken field by field and byte by byte: the
// forced-integrity test answers from whole headers only, the version and
// language readers survive, the file is refused.
TEST_F(SignMutationTest, HostilePeHeaders)
{
    CArea area("PE files");
    m_verifier.ExchangePublicKeys({PrimaryKeyOf(Corpus(kVendorSha384Dll))});
    const std::string v = DsTest::ReadBytes(Corpus(kVendorSha384Dll));
    ASSERT_FALSE(v.empty());
    const CPeLayout pe(v);
    Files files;
    AddTruncated(files, v,
                 {0, 1, 2, 0x3C, 0x40, pe.nt + 4, pe.nt + 24 + 8, pe.optional + 70, pe.optional + 71, pe.directories,
                  v.size() / 2});
    AddPatched(files, v, "e_lfanew", 0x3C, 4, {0, 0x3C, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, v.size() - 2, v.size()});
    AddPatched(files, v, "optional-header magic", pe.optional, 2, {0, 0x10B, 0x107, 0xFFFF});
    AddPatched(files, v, "sections", pe.nt + 6, 2, {0, 1, 0xFFFF});
    AddPatched(files, v, "optional-header size", pe.nt + 20, 2, {0, 0xE0, 0xFFFF});
    AddPatched(files, v, "directory count", pe.optional + 108, 4, {0, 3, 0x11, 0xFFFFFFFF});
    // The resource directory (version and language) at a bad place.
    AddPatched(files, v, "resource directory", pe.directories + 16, 8,
               {0x7FFFFFFF00000000, 0x7FFFFFFF7FFFFFF0, 0x7FFFFFFFFFFFFFFF});
    CMutator m(31);
    for (int i = 0; i < 20; ++i)
        files.push_back({"header bytes, seed " + std::to_string(i), pe.Flipped(m, v, pe.headersEnd, 1 + m.Pick(4))});
    for (size_t i = 0; i < files.size(); ++i) {
        area.Case(files[i].first, [&] {
            const std::wstring file = Scratch("pe" + std::to_string(i) + ".dll", files[i].second);
            EXPECT_EQ(IsIntegrityCheckEnabled(file.c_str()), ForcedIntegrity(files[i].second));
            WORD parts[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
            if (!CVerifyFileSignV2::GetFileVersionParts(file.c_str(), parts[0], parts[1], parts[2], parts[3])) {
                EXPECT_EQ(parts[0] & parts[1] & parts[2] & parts[3], 0xAAAA);
            }
            GetProductLangIdW(file.c_str());
            ExpectRefused(file, {CPlatform::Wine});
        });
    }
}

// Certificate tables that lie about their place and size, WIN_CERTIFICATE
// headers, PKCS #7 cut or flipped, a nested signature that is no signed data,
// one image byte changed: refused on Wine and with Windows' answers.
TEST_F(SignMutationTest, HostileCertificateTables)
{
    CArea area("certificate tables");
    m_verifier.ExchangePublicKeys({PrimaryKeyOf(Corpus(kVendorSha384Dll))});
    const std::string v = DsTest::ReadBytes(Corpus(kVendorSha384Dll));
    const std::string ms = DsTest::ReadBytes(Corpus(kMsPrimaryVendorNestedDll));
    ASSERT_FALSE(v.empty() || ms.empty());
    const CPeLayout pe(v);
    const DWORD certOffset = At(v, pe.certEntry), certSize = At(v, pe.certEntry + 4);
    const std::string pkcs7 = DsTest::SignatureOf(v);
    ASSERT_FALSE(pkcs7.empty());

    Files files;
    AddTruncated(files, v, {certOffset, certOffset + size_t(6), certOffset + size_t(40), v.size() - 1});
    AddPatched(files, v, "certificate table", pe.certEntry, 8,
               {Table(static_cast<DWORD>(v.size()) + 0x1000, certSize), Table(certOffset, 0x7FFFFFF8u),
                Table(0xFFFFFFF0u, 0x20), Table(0x40, certSize), Table(certOffset, 0), Table(certOffset, 7),
                Table(certOffset + 8, certSize - 8), Table(certOffset, certSize + 8)});
    AddPatched(files, v, "WIN_CERTIFICATE length", certOffset, 4, {0, 7, 8, certSize + 1, 0x7FFFFFFF, 0xFFFFFFFF});
    // Not another certificate type: Wine 8's WinVerifyTrust opens an X509
    // entry's message with the X509 encoding alone and crashes on the null
    // message it gets (Windows refuses the file).
    for (const size_t cut : {size_t(0), size_t(2), size_t(16), pkcs7.size() / 2, pkcs7.size() - 1})
        files.push_back({"PKCS #7 cut at " + std::to_string(cut), DsTest::WithSignature(v, pkcs7.substr(0, cut))});
    {
        // Certificates but no signer.
        UTIL::CUniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        UTIL::CUniqueCertContext leaf = DsTest::MakeCert(L"CN=\"Corvane, Inc.\"");
        ASSERT_TRUE(::CertAddCertificateContextToStore(store.get(), leaf.get(), CERT_STORE_ADD_ALWAYS, nullptr));
        std::string degenerate(4096, '\0');
        CRYPT_DATA_BLOB blob = {static_cast<DWORD>(degenerate.size()), reinterpret_cast<BYTE*>(&degenerate[0])};
        ASSERT_TRUE(::CertSaveStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                                    CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
        degenerate.resize(blob.cbData);
        files.push_back({"PKCS #7 without a signer", DsTest::WithSignature(v, degenerate)});
    }
    // The nested signature's value, overwritten in place.
    const std::vector<std::string> nested = DsTest::NestedSignaturesOf(DsTest::SignatureOf(ms));
    ASSERT_EQ(nested.size(), 1u);
    const size_t nestedAt = ms.find(nested[0]);
    ASSERT_NE(nestedAt, std::string::npos);
    CMutator m(4242);
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::string bytes = ms;
        // Odd seeds keep the value's own tag and length, even ones replace them too.
        for (size_t i = nestedAt + (seed % 2 ? 4 : 0); i < nestedAt + nested[0].size(); ++i)
            bytes[i] = static_cast<char>(m.Pick(256));
        files.push_back({"nested value not signed data, seed " + std::to_string(seed), bytes});
    }
    // The DER cut anywhere, or its signed parts flipped: the file's (SHA-256)
    // digest in the indirect data, and the signer's encrypted digest.
    // (Elsewhere a flip may fall on bytes nothing verifies, such as a copy of
    // the root; and Wine 8's CryptMsgControl does not check the rest of the
    // indirect data against the signed message digest, as Windows does.)
    UTIL::CUniqueCryptMsg msg(
        ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    DWORD cb = 0;
    ASSERT_TRUE(msg &&
                ::CryptMsgUpdate(msg.get(), reinterpret_cast<const BYTE*>(pkcs7.data()),
                                 static_cast<DWORD>(pkcs7.size()), TRUE) &&
                ::CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cb));
    std::string info(cb, '\0');
    ASSERT_TRUE(::CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, &info[0], &cb));
    const CRYPT_DATA_BLOB& encrypted = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data())->EncryptedHash;
    const std::vector<BYTE> digest = DsTest::PeImageDigest(v, CALG_SHA_256);
    std::vector<std::pair<size_t, size_t>> signedParts;
    for (const std::string& part : {std::string(digest.begin(), digest.end()),
                                    std::string(reinterpret_cast<const char*>(encrypted.pbData), encrypted.cbData)}) {
        signedParts.push_back({pkcs7.find(part), part.size()});
        ASSERT_NE(signedParts.back().first, std::string::npos);
    }
    for (int i = 0; i < 60; ++i) {
        std::string der = pkcs7.substr(0, 1 + m.Pick(pkcs7.size() - 1));
        if (i % 6) {
            der = pkcs7;
            const auto& part = signedParts[i % 2];
            for (size_t k = 0, n = 1 + m.Pick(3); k < n; ++k)
                der[part.first + m.Pick(part.second)] ^= static_cast<char>(1 + m.Pick(255));
        }
        files.push_back({"PKCS #7 mutated, seed " + std::to_string(i), DsTest::WithSignature(v, der)});
    }
    for (int i = 0; i < 10; ++i)
        files.push_back({"image byte changed, seed " + std::to_string(i), pe.Flipped(m, v, certOffset, 1)});
    for (size_t i = 0; i < files.size(); ++i)
        area.Case(files[i].first,
                  [&] { ExpectRefused(Scratch("cert" + std::to_string(i) + ".dll", files[i].second)); });
}

std::wstring KeyPackDir() { return KsxTest::ExeDir() + L"..\\keypack\\"; }

// Key packs whose headers, flags and signatures are broken: loaded with the
// keys they were built with, or refused with no key taken. Under Wine the
// loader does not enforce forced integrity, so the image itself stays whole.
TEST_F(SignMutationTest, HostileKeyPacks)
{
    CArea area("key packs");
    const std::string v = DsTest::ReadBytes(KeyPackDir() + L"KeyPack.dll");
    ASSERT_FALSE(v.empty());
    const CPeLayout pe(v);
    const std::string pkcs7 = DsTest::SignatureOf(v);
    const DWORD certOffset = At(v, pe.certEntry);
    ASSERT_EQ(m_verifier.LoadKeyPackAndUpdatePublicKeyList((KeyPackDir() + L"KeyPack.dll").c_str()), 1);
    const CVerifyFileSignV2::PublicKeySet original = m_verifier.ExchangePublicKeys({});
    ASSERT_EQ(original.size(), 2u);

    Files files;
    AddTruncated(files, v, {0, 1, 0x40, pe.optional + 71, certOffset, v.size() - 1});
    CMutator m(1999);
    for (int i = 0; i < 24; ++i)
        AddPatched(files, v, "DLL characteristics", pe.optional + 70, 2, {m.Pick(0x10000)});
    AddPatched(files, v, "e_lfanew", 0x3C, 4, {0, 0x3C, 0xFFFFFFFF, v.size() - 50});
    AddPatched(files, v, "optional-header magic", pe.optional, 2, {0, 0x10B, 0xFFFF});
    AddPatched(files, v, "certificate table", pe.certEntry, 8,
               {Table(0, 0), Table(certOffset, 0xFFFFFFF8u), Table(0xFFFFFFF0u, 16)});
    for (int i = 0; i < 40; ++i) {
        std::string der = pkcs7;
        der[m.Pick(der.size())] ^= static_cast<char>(1 + m.Pick(255));
        files.push_back({"signature flipped, seed " + std::to_string(i),
                         i % 5 == 4 ? DsTest::WithSignature(v, m.Mutate(pkcs7, i)) : DsTest::WithSignature(v, der)});
    }
    // Signed by other subjects: the key pack's signer test.
    for (const wchar_t* other : {L"keypack_ms.dll", L"keypack_unsigned.dll", L"keypack_noflag.dll"})
        files.push_back({std::string(other, other + wcslen(other)), DsTest::ReadBytes(KeyPackDir() + other)});
    for (size_t i = 0; i < files.size(); ++i) {
        area.Case(files[i].first, [&] {
            KsxTest::CTempFolder folder;
            const std::wstring path = Wide(folder.Path()) + L"KeyPack.dll";
            DsTest::WriteBytes(path, files[i].second);
            m_verifier.ExchangePublicKeys({});
            const int loaded = m_verifier.LoadKeyPackAndUpdatePublicKeyList(path.c_str());
            const CVerifyFileSignV2::PublicKeySet keys = m_verifier.ExchangePublicKeys({});
            EXPECT_TRUE(loaded == 1 ? keys == original : keys.empty()) << loaded << " " << keys.size();
        });
    }
}

// The marker's records by an independent reading: well formed when the
// records fill the bytes exactly.
bool RecordsFill(const std::string& marker)
{
    unsigned long long at = 0;
    while (at < marker.size()) {
        if (at + 6 > marker.size())
            return false;
        at += 6ull + At(marker, static_cast<size_t>(at) + 2);
    }
    return !marker.empty() && at == marker.size();
}

// The marker's data entry (the only resource of the file): its offset in the file.
size_t MarkerDataEntry(const std::string& b)
{
    const CPeLayout pe(b);
    size_t dir = pe.Offset(b, At(b, pe.directories + 16));
    const size_t root = dir;
    for (int level = 0; level < 3 && dir; ++level) {
        const DWORD target = At(b, dir + 16 + 4) & 0x7FFFFFFF;  // the first entry
        dir = root + target;
    }
    return dir;
}

// Marker resources of every shape, and resource entries that lie about the
// marker's size or place: well formed only when the records fill the
// resource, never read past it, and every refusal recorded as -2.
TEST_F(SignMutationTest, HostileMarkerResources)
{
    CArea area("marker resources");
    const std::string base = DsTest::ReadBytes(KeyPackDir() + L"keypack_unsigned.dll");
    ASSERT_FALSE(base.empty());
    auto record = [](WORD tag, DWORD length, const std::string& value) {
        return std::string(reinterpret_cast<const char*>(&tag), 2) +
               std::string(reinterpret_cast<const char*>(&length), 4) + value;
    };
    auto withMarker = [&](const std::string& name, const std::string& marker) {
        const std::wstring path = Scratch(name, base);
        HANDLE update = ::BeginUpdateResourceW(path.c_str(), FALSE);
        EXPECT_TRUE(update && ::UpdateResourceW(update, L"CORVANEHALYARDMARKER", MAKEINTRESOURCEW(1), 0,
                                                const_cast<char*>(marker.data()), static_cast<DWORD>(marker.size())));
        EXPECT_TRUE(::EndUpdateResourceW(update, FALSE));
        return path;
    };
    std::vector<std::string> markers = {std::string(1, '\x01'),
                                        std::string(2, '\0'),
                                        std::string(5, '\0'),
                                        record(1, 0, ""),
                                        record(1, 1, ""),
                                        record(1, 0xFFFFFFFF, ""),
                                        record(1, 0xFFFFFFFF, "ab"),
                                        record(1, 0xFFFFFFFA, "") + record(2, 0, ""),
                                        record(1, 4, "abcd") + std::string(2, '\x03')};
    CMutator m(6006);
    for (int i = 0; i < 120; ++i) {
        std::string marker;
        for (size_t r = 0, n = 1 + m.Pick(4); r < n; ++r) {
            const size_t len = m.Pick(24);
            marker += record(static_cast<WORD>(m.Pick(0x10000)), static_cast<DWORD>(len), m.Random(len));
        }
        if (i % 3)  // lengths that lie, bytes cut or added
            marker = m.Mutate(marker, i);
        if (!marker.empty())
            markers.push_back(marker);
    }
    const std::string log = m_install.Path() + "Misc\\SBInvalidLogLastInfo.log";
    for (size_t i = 0; i < markers.size(); ++i) {
        area.Case("marker " + std::to_string(i) + " of " + std::to_string(markers[i].size()) + " bytes", [&] {
            const std::wstring path = withMarker("marker" + std::to_string(i) + ".dll", markers[i]);
            EXPECT_EQ(IsMarkerResourceValid(path.c_str()), RecordsFill(markers[i]) ? 1 : 0);
            ::DeleteFileA(log.c_str());
            EXPECT_EQ(CheckShimMarker(path.c_str()), 0);  // unsigned: never a pinned chain
            const std::wstring text = path + (RecordsFill(markers[i]) ? L"\t-1" : L"\t-2");
            EXPECT_EQ(DsTest::ReadBytes(Wide(log)), KsxTest::Utf16z(text));
        });
    }

    // Resource entries that lie: sizes of 0 to 4 GiB, data outside the image.
    const std::wstring path = withMarker("marked.dll", record(1, 4, "abcd") + record(2, 0, ""));
    const std::string marked = DsTest::ReadBytes(path);
    ASSERT_EQ(IsMarkerResourceValid(path.c_str()), 1);
    const size_t entry = MarkerDataEntry(marked);
    ASSERT_NE(entry, 0u);
    ASSERT_EQ(At(marked, entry + 4), 16u);
    const DWORD rva = At(marked, entry);
    Files lies;
    AddPatched(lies, marked, "data entry", entry, 8,
               {Table(rva, 0), Table(rva, 1), Table(rva, 5), Table(rva, 17), Table(rva, 0x1000), Table(rva, 0x100000),
                Table(rva, 0x7FFFFFFF), Table(rva, 0xFFFFFFFF), Table(0xFFFFFFF0, 16), Table(0x7FFFFFF0, 16),
                Table(rva + 0x100000, 16)});
    for (size_t i = 0; i < lies.size(); ++i) {
        area.Case(lies[i].first, [&] {
            const std::wstring lie = Scratch("lie" + std::to_string(i) + ".dll", lies[i].second);
            const int valid = IsMarkerResourceValid(lie.c_str());
            // A size within the image may read as records or not; past it, never.
            if (At(lies[i].second, entry + 4) != 0x1000) {
                EXPECT_EQ(valid, 0);
            }
            EXPECT_EQ(CheckShimMarker(lie.c_str()), 0);
        });
    }
}

}  // namespace
