// Adds a DER certificate to the machine's trusted root store of the test
// prefix, so that the loopback HTTPS server's test CA is trusted there only.
#include <stdio.h>
#include <windows.h>
#include <wincrypt.h>

int wmain(int argc, wchar_t **argv)
{
    static unsigned char der[65536];
    if (argc != 2)
        return 2;
    FILE *f = _wfopen(argv[1], L"rb");
    if (f == NULL)
        return 2;
    size_t size = fread(der, 1, sizeof(der), f);
    fclose(f);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == NULL)
        return 1;
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, (DWORD)size,
                                               CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
