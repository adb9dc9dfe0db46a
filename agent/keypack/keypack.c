/* The vendor's public keys for the multiple-signature verifier: the
 * public-key bit strings of the vendor's signing certificates. KEYPACK_VARIANT
 * makes the misbehaving packs the verifier must survive. */
#include <windows.h>

#include "keypack_keys.h"

#ifndef KEYPACK_VARIANT
#define KEYPACK_VARIANT 0
#endif
#define KEYPACK_NORMAL 0
#define KEYPACK_EMPTY 1     /* no keys */
#define KEYPACK_FAIL_ONE 2  /* index 0 fails */
#define KEYPACK_DOUBLED 3   /* every key twice */
#define KEYPACK_NO_KEYS 4   /* GetCertificatePublicKey missing */
#define KEYPACK_HUGE 5      /* index 0 claims 4 GiB - 16 */

#if KEYPACK_VARIANT != KEYPACK_NO_KEYS
static const KeyPackKey* KeyAt(UINT32 index)
{
    const UINT32 n = (UINT32)(sizeof(kKeyPackKeys) / sizeof(kKeyPackKeys[0]));
#if KEYPACK_VARIANT == KEYPACK_DOUBLED
    index %= n;
#endif
    return index < n ? &kKeyPackKeys[index] : NULL;
}
#endif

__declspec(dllexport) UINT32 GetCertificatePublicKeyAmount(void)
{
    const UINT32 n = (UINT32)(sizeof(kKeyPackKeys) / sizeof(kKeyPackKeys[0]));
#if KEYPACK_VARIANT == KEYPACK_EMPTY
    return 0 * n;
#elif KEYPACK_VARIANT == KEYPACK_DOUBLED
    return 2 * n;
#else
    return n;
#endif
}

#if KEYPACK_VARIANT != KEYPACK_NO_KEYS
__declspec(dllexport) BOOL GetCertificatePublicKey(UINT32 index, BYTE* buffer, UINT32* size)
{
    const KeyPackKey* key = KeyAt(index);
    UINT32 i;
    if (!key || !size || (KEYPACK_VARIANT == KEYPACK_FAIL_ONE && index == 0))
        return FALSE;
    if (KEYPACK_VARIANT == KEYPACK_HUGE && index == 0) {
        *size = 0xFFFFFFF0u;
        return buffer ? FALSE : TRUE;
    }
    if (!buffer) {
        *size = key->size;
        return TRUE;
    }
    if (*size < key->size)
        return FALSE;
    for (i = 0; i < key->size; ++i)
        buffer[i] = key->bytes[i];
    *size = key->size;
    return TRUE;
}
#endif
