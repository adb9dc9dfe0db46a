// The test PKI's helper inside the prefix: nests signatures, makes and installs
// catalogs, installs test roots. Works with the platform's own CryptoAPI, so
// what it makes fits the platform that verifies it.
//
//   pkitool nest OUTER.der INNER.der OUT.der     OUTER with INNER appended to its nested signatures
//   pkitool catalog OUT.cat SIGNER.der KEY.der CHAIN.p7b MEMBER...
//   pkitool add-catalog FILE.cat NAME            install into the DRIVER_ACTION_VERIFY database
//   pkitool remove-catalog NAME
//   pkitool add-root CERT.der                    LocalMachine Root
//   pkitool find-roots PREFIX                    SHA-1 thumbprints of Root certificates whose
//                                                display name starts with PREFIX
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "ut_Handle.h"

namespace {

const char kOidNestedSignature[] = "1.3.6.1.4.1.311.2.4.1";
const char kOidCatalogList[] = "1.3.6.1.4.1.311.12.1.1";
const char kOidCatalogListMember[] = "1.3.6.1.4.1.311.12.1.2";
const wchar_t kPeSubjectGuid[] = L"{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const BYTE kAsnNull[] = {0x05, 0x00};

struct CMsgTraits {
    static HCRYPTMSG empty() noexcept { return nullptr; }
    static void close(HCRYPTMSG h) noexcept { ::CryptMsgClose(h); }
};
struct CStoreTraits {
    static HCERTSTORE empty() noexcept { return nullptr; }
    static void close(HCERTSTORE h) noexcept { ::CertCloseStore(h, 0); }
};
struct CCertTraits {
    static PCCERT_CONTEXT empty() noexcept { return nullptr; }
    static void close(PCCERT_CONTEXT h) noexcept { ::CertFreeCertificateContext(h); }
};
struct CProvTraits {
    static HCRYPTPROV empty() noexcept { return 0; }
    static void close(HCRYPTPROV h) noexcept { ::CryptReleaseContext(h, 0); }
};
struct CKeyTraits {
    static HCRYPTKEY empty() noexcept { return 0; }
    static void close(HCRYPTKEY h) noexcept { ::CryptDestroyKey(h); }
};
struct CCatAdminTraits {
    static HCATADMIN empty() noexcept { return nullptr; }
    static void close(HCATADMIN h) noexcept { ::CryptCATAdminReleaseContext(h, 0); }
};
using CUniqueMsg = UTIL::CUniqueResource<HCRYPTMSG, CMsgTraits>;
using CUniqueStore = UTIL::CUniqueResource<HCERTSTORE, CStoreTraits>;
using CUniqueCert = UTIL::CUniqueResource<PCCERT_CONTEXT, CCertTraits>;
using CUniqueProv = UTIL::CUniqueResource<HCRYPTPROV, CProvTraits>;
using CUniqueKey = UTIL::CUniqueResource<HCRYPTKEY, CKeyTraits>;
using CUniqueCatAdmin = UTIL::CUniqueResource<HCATADMIN, CCatAdminTraits>;

using Bytes = std::vector<BYTE>;

bool Fail(const char* what)
{
    std::fprintf(stderr, "pkitool: %s failed, err=0x%08lx\n", what, GetLastError());
    return false;
}

std::wstring Widen(const char* text)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &w[0], n);
    w.resize(n > 0 ? n - 1 : 0);
    return w;
}

bool ReadAll(const char* path, Bytes& out)
{
    UTIL::CUniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024)
        return Fail(path);
    out.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!out.empty() &&
        (!ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &read, nullptr) || read != out.size()))
        return Fail(path);
    return true;
}

bool WriteAll(const char* path, const Bytes& data)
{
    UTIL::CUniqueFile file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
        written != data.size())
        return Fail(path);
    return true;
}

bool Encode(LPCSTR type, const void* value, Bytes& out)
{
    char what[64];
    snprintf(what, sizeof(what), "CryptEncodeObject(%u)", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(type)));
    DWORD size = 0;
    if (!CryptEncodeObject(kEncoding, type, value, nullptr, &size))
        return Fail(what);
    out.resize(size);
    if (!CryptEncodeObject(kEncoding, type, value, out.data(), &size))
        return Fail(what);
    out.resize(size);
    return true;
}

bool MsgParam(HCRYPTMSG msg, DWORD type, DWORD index, Bytes& out)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, index, nullptr, &size))
        return false;
    out.resize(size);
    if (!CryptMsgGetParam(msg, type, index, out.data(), &size))
        return false;
    out.resize(size);
    return true;
}

// Imports a PKCS #1 RSA private key into an ephemeral provider.
bool ImportKey(const char* keyPath, CUniqueProv& prov, CUniqueKey& key)
{
    Bytes der;
    if (!ReadAll(keyPath, der))
        return false;
    DWORD blobSize = 0;
    BYTE* blob = nullptr;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der.data(), static_cast<DWORD>(der.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize))
        return Fail("decoding the private key");
    BOOL imported =
        CryptAcquireContextW(prov.put(), nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptImportKey(prov.get(), blob, blobSize, 0, 0, key.put());
    SecureZeroMemory(blob, blobSize);
    LocalFree(blob);
    return imported || Fail("importing the private key");
}

bool IsOid(const char* oid, const char* want) { return oid && std::string(oid) == want; }

// One DER element (definite length, one-byte tag) of a buffer.
struct CTlv {
    BYTE tag = 0;
    size_t start = 0, body = 0, end = 0;
};

bool ReadTlv(const Bytes& d, size_t at, size_t limit, CTlv& t)
{
    if (at + 2 > limit)
        return false;
    t.tag = d[at];
    size_t len = d[at + 1], pos = at + 2;
    if (len & 0x80) {
        const size_t n = len & 0x7f;
        if (n == 0 || n > 4 || pos + n > limit)
            return false;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = (len << 8) | d[pos++];
    }
    if (len > limit - pos)
        return false;
    t.start = at;
    t.body = pos;
    t.end = pos + len;
    return true;
}

// The children of a constructed element.
std::vector<CTlv> Children(const Bytes& d, const CTlv& parent)
{
    std::vector<CTlv> out;
    CTlv t;
    for (size_t at = parent.body; at < parent.end && ReadTlv(d, at, parent.end, t); at = t.end)
        out.push_back(t);
    return out;
}

Bytes Header(BYTE tag, size_t len)
{
    Bytes h{tag};
    if (len < 0x80) {
        h.push_back(static_cast<BYTE>(len));
        return h;
    }
    Bytes n;
    for (; len; len >>= 8)
        n.insert(n.begin(), static_cast<BYTE>(len & 0xff));
    h.push_back(static_cast<BYTE>(0x80 | n.size()));
    h.insert(h.end(), n.begin(), n.end());
    return h;
}

Bytes Wrap(BYTE tag, const Bytes& body)
{
    Bytes out = Header(tag, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Replaces d[lo, hi) by `with`, re-encoding the lengths of the enclosing
// elements in `path` (outermost first).
Bytes Splice(const Bytes& d, const std::vector<CTlv>& path, size_t lo, size_t hi, Bytes with)
{
    for (auto t = path.rbegin(); t != path.rend(); ++t) {
        Bytes body(d.begin() + t->body, d.begin() + lo);
        body.insert(body.end(), with.begin(), with.end());
        body.insert(body.end(), d.begin() + hi, d.begin() + t->end);
        with = Header(t->tag, body.size());
        with.insert(with.end(), body.begin(), body.end());
        lo = t->start;
        hi = t->end;
    }
    Bytes out(d.begin(), d.begin() + lo);
    out.insert(out.end(), with.begin(), with.end());
    out.insert(out.end(), d.begin() + hi, d.end());
    return out;
}

// Writes OUTER with INNER appended to the nested signatures of its first
// signer. Only the unsigned attributes change, so OUTER's signature stays
// valid. The platform decodes the attributes and encodes the new set; the
// message around them is re-encoded here because Wine 8's CryptMsgControl
// cannot add an unsigned attribute to a decoded message.
bool Nest(const char* outerPath, const char* innerPath, const char* outPath)
{
    Bytes outer, inner;
    if (!ReadAll(outerPath, outer) || !ReadAll(innerPath, inner))
        return false;
    CUniqueMsg msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    Bytes signerBytes;
    if (!msg || !CryptMsgUpdate(msg.get(), outer.data(), static_cast<DWORD>(outer.size()), TRUE) ||
        !MsgParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, signerBytes))
        return Fail("decoding the outer signature");
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBytes.data());

    std::vector<CRYPT_ATTRIBUTE> unauth;
    std::vector<CRYPT_ATTR_BLOB> nested;
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = signer->UnauthAttrs.rgAttr[i];
        if (IsOid(a.pszObjId, kOidNestedSignature))
            nested.insert(nested.end(), a.rgValue, a.rgValue + a.cValue);
        else
            unauth.push_back(a);
    }
    nested.push_back({static_cast<DWORD>(inner.size()), inner.data()});
    unauth.push_back({const_cast<char*>(kOidNestedSignature), static_cast<DWORD>(nested.size()), nested.data()});
    CRYPT_ATTRIBUTES attrs{static_cast<DWORD>(unauth.size()), unauth.data()};
    Bytes encoded;
    if (!Encode(PKCS_ATTRIBUTES, &attrs, encoded) || encoded.empty())
        return false;
    encoded[0] = 0xA1;  // [1] IMPLICIT SET OF Attribute

    // ContentInfo { type, [0] SignedData { ..., signerInfos SET { SignerInfo, ... } } }
    CTlv contentInfo, explicit0, signedData;
    std::vector<CTlv> top, sd, signers, fields;
    if (!ReadTlv(outer, 0, outer.size(), contentInfo) || (top = Children(outer, contentInfo)).size() != 2 ||
        (explicit0 = top[1]).tag != 0xA0 || !ReadTlv(outer, explicit0.body, explicit0.end, signedData) ||
        (sd = Children(outer, signedData)).empty() || sd.back().tag != 0x31 ||
        (signers = Children(outer, sd.back())).empty() || (fields = Children(outer, signers[0])).empty())
        return Fail("parsing the outer signature");
    const CTlv& last = fields.back();
    const size_t lo = last.tag == 0xA1 ? last.start : signers[0].end;
    const size_t hi = signers[0].end;
    Bytes result = Splice(outer, {contentInfo, explicit0, signedData, sd.back(), signers[0]}, lo, hi, encoded);
    return WriteAll(outPath, result);
}

// One catalog member: the tag (upper-case hex of the platform's catalog hash,
// NUL included, as UTF-16LE) and its SPC_INDIRECT_DATA and CAT_MEMBERINFO.
struct CMember {
    Bytes hash;
    std::wstring tag;
    Bytes indirect;
    Bytes memberInfo;
    CRYPT_ATTR_BLOB values[2];
    CRYPT_ATTRIBUTE attributes[2];
};

bool MakeMember(const char* path, CMember& m)
{
    UTIL::CUniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return Fail(path);
    DWORD size = 0;
    CryptCATAdminCalcHashFromFileHandle(file.get(), &size, nullptr, 0);
    m.hash.resize(size);
    if (!size || !CryptCATAdminCalcHashFromFileHandle(file.get(), &size, m.hash.data(), 0))
        return Fail("CryptCATAdminCalcHashFromFileHandle");
    m.hash.resize(size);
    for (BYTE b : m.hash) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02X", b);
        m.tag += hex;
    }

    // A PE member: SPC_PE_IMAGE_DATA with the customary obsolete file link.
    wchar_t obsolete[] = L"<<<Obsolete>>>";
    SPC_LINK link{};
    link.dwLinkChoice = SPC_FILE_LINK_CHOICE;
    link.pwszFile = obsolete;
    SPC_PE_IMAGE_DATA pe{};
    pe.pFile = &link;
    Bytes peEncoded;
    if (!Encode(SPC_PE_IMAGE_DATA_STRUCT, &pe, peEncoded))
        return false;
    // SpcIndirectDataContent { { type, value }, { { digest algorithm, NULL }, digest } },
    // written out here: Wine 8's encoder for it fails.
    const BYTE oidPeImageData[] = {0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0f};
    const BYTE oidSha1[] = {0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a};
    const BYTE oidSha256[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    Bytes data(std::begin(oidPeImageData), std::end(oidPeImageData));
    data.insert(data.end(), peEncoded.begin(), peEncoded.end());
    Bytes algorithm = m.hash.size() == 32 ? Bytes(std::begin(oidSha256), std::end(oidSha256))
                                          : Bytes(std::begin(oidSha1), std::end(oidSha1));
    algorithm.insert(algorithm.end(), std::begin(kAsnNull), std::end(kAsnNull));
    Bytes digest = Wrap(0x30, algorithm);
    Bytes octets = Wrap(0x04, m.hash);
    digest.insert(digest.end(), octets.begin(), octets.end());
    Bytes content = Wrap(0x30, data);
    Bytes digestInfo = Wrap(0x30, digest);
    content.insert(content.end(), digestInfo.begin(), digestInfo.end());
    m.indirect = Wrap(0x30, content);

    CAT_MEMBERINFO info{const_cast<wchar_t*>(kPeSubjectGuid), 0x200};
    if (!Encode(CAT_MEMBERINFO_STRUCT, &info, m.memberInfo))
        return false;

    m.values[0] = {static_cast<DWORD>(m.memberInfo.size()), m.memberInfo.data()};
    m.values[1] = {static_cast<DWORD>(m.indirect.size()), m.indirect.data()};
    m.attributes[0] = {const_cast<char*>(CAT_MEMBERINFO_OBJID), 1, &m.values[0]};
    m.attributes[1] = {const_cast<char*>(SPC_INDIRECT_DATA_OBJID), 1, &m.values[1]};
    return true;
}

// A catalog: a CTL of usage szOID_CATALOG_LIST whose entries are the members,
// signed like an Authenticode signature (statement type and opus info
// authenticated, the signer's chain carried in the message). The digest is
// SHA-1: Wine 8's catalog database opens catalogs with a provider that has no
// SHA-256 and cannot read a SHA-256-signed one.
bool MakeCatalog(const char* outPath, const char* signerPath, const char* keyPath, const char* chainPath,
                 char** members, int memberCount)
{
    Bytes signerDer, chainDer;
    if (!ReadAll(signerPath, signerDer) || !ReadAll(chainPath, chainDer))
        return false;
    CUniqueCert signer(
        CertCreateCertificateContext(X509_ASN_ENCODING, signerDer.data(), static_cast<DWORD>(signerDer.size())));
    if (!signer)
        return Fail("CertCreateCertificateContext");

    CUniqueProv prov;
    CUniqueKey key;
    if (!ImportKey(keyPath, prov, key))
        return false;

    CRYPT_DATA_BLOB chainBlob{static_cast<DWORD>(chainDer.size()), chainDer.data()};
    CUniqueStore chain(CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, 0, &chainBlob));
    if (!chain)
        return Fail("opening the chain");
    std::vector<CERT_BLOB> certs;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(chain.get(), c)) != nullptr;)
        certs.push_back({c->cbCertEncoded, c->pbCertEncoded});  // the store keeps the contexts alive

    std::vector<CMember> list(memberCount);
    std::vector<CTL_ENTRY> entries(memberCount);
    for (int i = 0; i < memberCount; ++i) {
        if (!MakeMember(members[i], list[i]))
            return false;
        entries[i].SubjectIdentifier = {static_cast<DWORD>((list[i].tag.size() + 1) * sizeof(wchar_t)),
                                        reinterpret_cast<BYTE*>(&list[i].tag[0])};
        entries[i].cAttribute = 2;
        entries[i].rgAttribute = list[i].attributes;
    }

    LPSTR usage = const_cast<char*>(kOidCatalogList);
    BYTE listId[16] = {};
    for (size_t i = 0; !list.empty() && i < sizeof(listId); ++i)
        listId[i] = list[0].hash[i % list[0].hash.size()];
    CTL_INFO ctl{};
    ctl.dwVersion = CTL_V1;
    ctl.SubjectUsage = {1, &usage};
    ctl.ListIdentifier = {sizeof(listId), listId};
    GetSystemTimeAsFileTime(&ctl.ThisUpdate);
    ctl.SubjectAlgorithm.pszObjId = const_cast<char*>(kOidCatalogListMember);
    ctl.SubjectAlgorithm.Parameters = {sizeof(kAsnNull), const_cast<BYTE*>(kAsnNull)};
    ctl.cCTLEntry = static_cast<DWORD>(entries.size());
    ctl.rgCTLEntry = entries.data();

    // SPC_STATEMENT_TYPE {individual code signing} and an empty SPC_SP_OPUS_INFO.
    BYTE statement[] = {0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};
    BYTE opus[] = {0x30, 0x00};
    CRYPT_ATTR_BLOB statementValue{sizeof(statement), statement};
    CRYPT_ATTR_BLOB opusValue{sizeof(opus), opus};
    CRYPT_ATTRIBUTE authAttrs[] = {
        {const_cast<char*>(SPC_STATEMENT_TYPE_OBJID), 1, &statementValue},
        {const_cast<char*>(SPC_SP_OPUS_INFO_OBJID), 1, &opusValue},
    };
    CMSG_SIGNER_ENCODE_INFO signerInfo{};
    signerInfo.cbSize = sizeof(signerInfo);
    signerInfo.pCertInfo = signer.get()->pCertInfo;
    signerInfo.hCryptProv = prov.get();
    signerInfo.dwKeySpec = AT_KEYEXCHANGE;
    signerInfo.HashAlgorithm.pszObjId = const_cast<char*>(szOID_OIWSEC_sha1);
    signerInfo.cAuthAttr = 2;
    signerInfo.rgAuthAttr = authAttrs;
    CMSG_SIGNED_ENCODE_INFO signInfo{};
    signInfo.cbSize = sizeof(signInfo);
    signInfo.cSigners = 1;
    signInfo.rgSigners = &signerInfo;
    signInfo.cCertEncoded = static_cast<DWORD>(certs.size());
    signInfo.rgCertEncoded = certs.data();

    DWORD size = 0;
    if (!CryptMsgEncodeAndSignCTL(kEncoding, &ctl, &signInfo, 0, nullptr, &size))
        return Fail("CryptMsgEncodeAndSignCTL");
    Bytes out(size);
    if (!CryptMsgEncodeAndSignCTL(kEncoding, &ctl, &signInfo, 0, out.data(), &size))
        return Fail("CryptMsgEncodeAndSignCTL");
    out.resize(size);
    return WriteAll(outPath, out);
}

bool AcquireCatAdmin(CUniqueCatAdmin& admin)
{
    GUID subsystem = DRIVER_ACTION_VERIFY;
    return CryptCATAdminAcquireContext(admin.put(), &subsystem, 0) || Fail("CryptCATAdminAcquireContext");
}

bool AddCatalog(const char* path, const char* name)
{
    CUniqueCatAdmin admin;
    if (!AcquireCatAdmin(admin))
        return false;
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(Widen(path).c_str(), MAX_PATH, full, nullptr))
        return Fail(path);
    std::wstring base = Widen(name);
    HCATINFO info = CryptCATAdminAddCatalog(admin.get(), full, &base[0], 0);
    if (!info)
        return Fail("CryptCATAdminAddCatalog");
    CryptCATAdminReleaseCatalogContext(admin.get(), info, 0);
    return true;
}

bool RemoveCatalog(const char* name)
{
    CUniqueCatAdmin admin;
    if (!AcquireCatAdmin(admin))
        return false;
    return CryptCATAdminRemoveCatalog(admin.get(), Widen(name).c_str(), 0) || Fail("CryptCATAdminRemoveCatalog");
}

CUniqueStore OpenRootStore()
{
    return CUniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
}

bool AddRoot(const char* path)
{
    Bytes der;
    if (!ReadAll(path, der))
        return false;
    CUniqueStore root = OpenRootStore();
    if (!root)
        return Fail("opening the LocalMachine Root store");
    if (!CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        return Fail("CertAddEncodedCertificateToStore");
    return true;
}

bool FindRoots(const char* prefix)
{
    CUniqueStore root = OpenRootStore();
    if (!root)
        return Fail("opening the LocalMachine Root store");
    std::wstring want = Widen(prefix);
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(root.get(), c)) != nullptr;) {
        wchar_t name[256] = {};
        CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
        if (std::wstring(name).compare(0, want.size(), want) != 0)
            continue;
        BYTE thumb[20];
        DWORD size = sizeof(thumb);
        if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, thumb, &size))
            continue;
        for (DWORD i = 0; i < size; ++i)
            std::printf("%02X", thumb[i]);
        std::printf("\n");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    bool ok = false;
    if (cmd == "nest" && argc == 5)
        ok = Nest(argv[2], argv[3], argv[4]);
    else if (cmd == "catalog" && argc >= 7)
        ok = MakeCatalog(argv[2], argv[3], argv[4], argv[5], argv + 6, argc - 6);
    else if (cmd == "add-catalog" && argc == 4)
        ok = AddCatalog(argv[2], argv[3]);
    else if (cmd == "remove-catalog" && argc == 3)
        ok = RemoveCatalog(argv[2]);
    else if (cmd == "add-root" && argc == 3)
        ok = AddRoot(argv[2]);
    else if (cmd == "find-roots" && argc == 3)
        ok = FindRoots(argv[2]);
    else {
        std::fprintf(stderr, "usage: pkitool nest|catalog|add-catalog|remove-catalog|add-root|find-roots ...\n");
        return 2;
    }
    return ok ? 0 : 1;
}
