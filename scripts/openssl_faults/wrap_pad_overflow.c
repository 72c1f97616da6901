/* OpenSSL 3.0 before 3.0.22: when AES key unwrap with padding finds that the
 * unwrapped key fails its check, it wipes as many bytes as were wrapped into
 * an output block that CMS key agreement makes 8 bytes shorter, and so writes
 * 8 zero bytes past the block. With OpenSSL's assembly OPENSSL_cleanse the
 * write is invisible to AddressSanitizer and shows later as a damaged heap.
 *
 *   cc wrap_pad_overflow.c -lcrypto -o wrap_pad_overflow
 *   valgrind ./wrap_pad_overflow     # "Invalid write of size 8" in OPENSSL_cleanse
 *
 * The provider refuses such recipient infos before OpenSSL unwraps them. */
#include <stdio.h>
#include <stdlib.h>

#include <openssl/evp.h>

int main(void) {
    static const unsigned char key[16] = {0};
    static const unsigned char wrapped[24] = {1}; /* any bytes: the check fails */
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char* out;
    int length = 0;
    int unwrapped;

    if (ctx == NULL) return 2;
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    /* The way CMS key agreement unwraps: ask the size, make the block, unwrap. */
    if (EVP_DecryptInit_ex(ctx, EVP_aes_128_wrap_pad(), NULL, key, NULL) != 1 ||
        EVP_DecryptUpdate(ctx, NULL, &length, wrapped, (int)sizeof wrapped) != 1 || length <= 0)
        return 2;
    out = malloc((size_t)length);
    if (out == NULL) return 2;
    unwrapped = EVP_DecryptUpdate(ctx, out, &length, wrapped, (int)sizeof wrapped);
    printf("%s: unwrap %s into a block of %d bytes for %d wrapped\n", OpenSSL_version(OPENSSL_VERSION),
           unwrapped == 1 ? "passed" : "failed", (int)sizeof wrapped - 8, (int)sizeof wrapped);
    free(out);
    EVP_CIPHER_CTX_free(ctx);
    return 0;
}
