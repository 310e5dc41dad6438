// GnuTLS loaded when libqpdf first asks for a hash or a cipher, not at
// start. velunor-join runs once a page, and GnuTLS with its eight libraries
// and its start-up (an ASN.1 tree built from scratch) was half of the
// program's own start; a join of our own pages never needs them: only an
// encrypted file, which it opens to refuse, does.
//
// These are the only GnuTLS calls libqpdf makes (`nm -u libqpdf.a`); each
// forwards to the real one, resolved once. Linked only with the static
// libqpdf: the shared one brings GnuTLS with it.
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include "platform/OnDemand.h"

VELUNOR_ON_DEMAND_LIBRARY(VELUNOR_GNUTLS_SONAME)

extern "C" {

int gnutls_cipher_init(gnutls_cipher_hd_t* handle, gnutls_cipher_algorithm_t cipher, const gnutls_datum_t* key,
                       const gnutls_datum_t* iv)
{
    VELUNOR_FORWARD(gnutls_cipher_init, GNUTLS_E_CRYPTO_INIT_FAILED, handle, cipher, key, iv);
}

int gnutls_cipher_encrypt2(gnutls_cipher_hd_t handle, const void* ptext, size_t ptextLen, void* ctext, size_t ctextLen)
{
    VELUNOR_FORWARD(gnutls_cipher_encrypt2, GNUTLS_E_CRYPTO_INIT_FAILED, handle, ptext, ptextLen, ctext, ctextLen);
}

int gnutls_cipher_decrypt2(gnutls_cipher_hd_t handle, const void* ctext, size_t ctextLen, void* ptext, size_t ptextLen)
{
    VELUNOR_FORWARD(gnutls_cipher_decrypt2, GNUTLS_E_CRYPTO_INIT_FAILED, handle, ctext, ctextLen, ptext, ptextLen);
}

void gnutls_cipher_deinit(gnutls_cipher_hd_t handle)
{
    // A handle exists only where the init above reached the library.
    VELUNOR_FORWARD_VOID(gnutls_cipher_deinit, handle);
}

size_t gnutls_cipher_get_key_size(gnutls_cipher_algorithm_t algorithm)
{
    VELUNOR_FORWARD(gnutls_cipher_get_key_size, 0, algorithm);
}

int gnutls_hash_init(gnutls_hash_hd_t* dig, gnutls_digest_algorithm_t algorithm)
{
    VELUNOR_FORWARD(gnutls_hash_init, GNUTLS_E_CRYPTO_INIT_FAILED, dig, algorithm);
}

int gnutls_hash(gnutls_hash_hd_t handle, const void* text, size_t textLen)
{
    VELUNOR_FORWARD(gnutls_hash, GNUTLS_E_CRYPTO_INIT_FAILED, handle, text, textLen);
}

void gnutls_hash_deinit(gnutls_hash_hd_t handle, void* digest)
{
    VELUNOR_FORWARD_VOID(gnutls_hash_deinit, handle, digest);
}

int gnutls_rnd(gnutls_rnd_level_t level, void* data, size_t len)
{
    VELUNOR_FORWARD(gnutls_rnd, GNUTLS_E_CRYPTO_INIT_FAILED, level, data, len);
}

const char* gnutls_strerror(int error)
{
    VELUNOR_FORWARD(gnutls_strerror, "the GnuTLS library (" VELUNOR_GNUTLS_SONAME ") could not be loaded", error);
}

} // extern "C"
