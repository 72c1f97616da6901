// Bouncy Castle peer for the S/MIME interop tests. Messages are bare DER CMS on stdin/stdout.
//   check                            print Bouncy Castle's version; exit 3 when its jars are missing
//   sign CERT KEY HASH FORM PADDING  SignedData with the signer certificate; HASH sha1|sha256|sha384|sha512,
//                                    FORM opaque|detached, PADDING pkcs1|pss (RSA); EC: ECDSA; Ed25519: RFC 8419
//   verify CA [CONTENT]              every signer verifies with its certificate from the message and that
//                                    certificate chains to CA (through certificates in the message);
//                                    prints the encapsulated content
//   encrypt CIPHER PADDING CERT...   EnvelopedData (CBC ciphers) or AuthEnvelopedData (GCM, ChaCha20-Poly1305);
//                                    RSA: PADDING pkcs1|oaep (OAEP with SHA-256); EC, X25519: ECDH sha256kdf + AES wrap
//   decrypt CERT KEY                 the content, via the recipient info for CERT
//   unsupported KIND DIR             DIR/message.der, DIR/store.pem (certificate + PKCS#8 key), DIR/root.pem (issuing CA)
//                                    for ed25519-signature | x25519-envelope | chacha20-envelope
// Failures: a one-line message on stderr and exit 1; usage errors exit 2.
import java.io.*;
import java.math.BigInteger;
import java.nio.file.*;
import java.security.*;
import java.security.cert.X509Certificate;
import java.security.interfaces.ECPublicKey;
import java.util.*;
import org.bouncycastle.asn1.*;
import org.bouncycastle.asn1.cms.*;
import org.bouncycastle.asn1.nist.NISTObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.PKCSObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.RSAESOAEPparams;
import org.bouncycastle.asn1.pkcs.PrivateKeyInfo;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.asn1.x509.*;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cert.jcajce.*;
import org.bouncycastle.cms.*;
import org.bouncycastle.cms.jcajce.*;
import org.bouncycastle.crypto.InvalidCipherTextException;
import org.bouncycastle.crypto.engines.AESEngine;
import org.bouncycastle.crypto.modes.AEADCipher;
import org.bouncycastle.crypto.modes.ChaCha20Poly1305;
import org.bouncycastle.crypto.modes.GCMBlockCipher;
import org.bouncycastle.crypto.params.AEADParameters;
import org.bouncycastle.crypto.params.KeyParameter;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.openssl.PEMParser;
import org.bouncycastle.openssl.jcajce.JcaPEMKeyConverter;
import org.bouncycastle.operator.*;
import org.bouncycastle.operator.jcajce.*;
import org.bouncycastle.util.io.pem.*;

public class BcSmime {
    public static void main(String[] a) {
        try {   // bcprov, bcpkix, bcutil; the test suite skips Bouncy Castle interop on exit 3
            for (String c : new String[] {"jce.provider.BouncyCastleProvider", "cms.CMSSignedData", "asn1.cms.ContentInfo"})
                Class.forName("org.bouncycastle." + c);
        } catch (Throwable t) { System.err.println("Bouncy Castle classes missing: " + t); System.exit(3); }
        System.exit(BcSmimeOps.main(a));
    }
}

// Everything that touches Bouncy Castle lives here, so BcSmime itself loads without it.
class BcSmimeOps {
    static final String USAGE = "usage: BcSmime check | sign CERT KEY sha1|sha256|sha384|sha512 opaque|detached pkcs1|pss"
        + " | verify CA [CONTENT] | encrypt CIPHER pkcs1|oaep CERT... | decrypt CERT KEY"
        + " | unsupported ed25519-signature|x25519-envelope|chacha20-envelope DIR";
    static final String BC = "BC";
    static final ASN1ObjectIdentifier CHACHA = PKCSObjectIdentifiers.id_alg_AEADChaCha20Poly1305;
    // RSAES-OAEP with SHA-256 and MGF1-SHA-256, the empty label.
    static final AlgorithmIdentifier SHA256 = new AlgorithmIdentifier(NISTObjectIdentifiers.id_sha256, DERNull.INSTANCE);
    static final AlgorithmIdentifier OAEP_SHA256 = new AlgorithmIdentifier(PKCSObjectIdentifiers.id_RSAES_OAEP,
        new RSAESOAEPparams(SHA256, new AlgorithmIdentifier(PKCSObjectIdentifiers.id_mgf1, SHA256),
            RSAESOAEPparams.DEFAULT_P_SOURCE_ALGORITHM));
    static final Map<String, ASN1ObjectIdentifier> CIPHERS = Map.of(
        "aes-128-cbc", CMSAlgorithm.AES128_CBC, "aes-192-cbc", CMSAlgorithm.AES192_CBC,
        "aes-256-cbc", CMSAlgorithm.AES256_CBC, "des-ede3-cbc", CMSAlgorithm.DES_EDE3_CBC,
        "aes-128-gcm", CMSAlgorithm.AES128_GCM, "aes-192-gcm", CMSAlgorithm.AES192_GCM,
        "aes-256-gcm", CMSAlgorithm.AES256_GCM, "chacha20-poly1305", CHACHA);

    @SuppressWarnings("serial")
    static class UsageError extends Exception { UsageError(String m) { super(m); } }

    static int main(String[] a) {
        try {
            Security.addProvider(new BouncyCastleProvider());
            return run(a);
        } catch (UsageError e) { System.err.println(e.getMessage() + "\n" + USAGE); return 2;
        } catch (Throwable e) { System.err.println("BcSmime: " + e); return 1; }
    }

    static int run(String[] a) throws Exception {
        String cmd = a.length > 0 ? a[0] : "";
        if (cmd.equals("check") && a.length == 1) {
            System.out.println(new BouncyCastleProvider().getInfo());
        } else if (cmd.equals("sign") && a.length == 6) {
            if (!a[4].matches("opaque|detached") || !a[5].matches("pkcs1|pss")) throw new UsageError("bad FORM or PADDING");
            out(sign(stdin(), cert(a[1]), key(a[2]), a[3], a[5].equals("pss"), a[4].equals("opaque")));
        } else if (cmd.equals("verify") && (a.length == 2 || a.length == 3)) {
            return verify(stdin(), cert(a[1]), a.length == 3 ? Files.readAllBytes(Paths.get(a[2])) : null);
        } else if (cmd.equals("encrypt") && a.length >= 4) {
            if (!a[2].matches("pkcs1|oaep")) throw new UsageError("bad PADDING " + a[2]);
            List<X509CertificateHolder> to = new ArrayList<>();
            for (int i = 3; i < a.length; i++) to.add(cert(a[i]));
            out(encrypt(stdin(), a[1], a[2].equals("oaep"), to));
        } else if (cmd.equals("decrypt") && a.length == 3) {
            return decrypt(stdin(), cert(a[1]), key(a[2]));
        } else if (cmd.equals("unsupported") && a.length == 3) {
            unsupported(a[1], Paths.get(a[2]));
        } else throw new UsageError("bad command line");
        return 0;
    }

    // ---- signing and verification ----

    static byte[] sign(byte[] data, X509CertificateHolder cert, PrivateKey key, String hash, boolean pss, boolean opaque)
            throws Exception {
        if (!hash.matches("sha1|sha256|sha384|sha512")) throw new UsageError("bad HASH " + hash);
        String h = hash.toUpperCase(), kalg = key.getAlgorithm(), alg;
        if (pss && !kalg.equals("RSA")) throw new UsageError("pss needs an RSA key");
        if (kalg.equals("RSA")) alg = h + (pss ? "withRSAandMGF1" : "withRSA");   // PSS: MGF1 with HASH, salt = hash length
        else if (kalg.matches("EC|ECDSA")) alg = h + "withECDSA";
        else if (kalg.matches("Ed25519|EdDSA")) alg = "Ed25519";                  // BC picks SHA-512 as digest (RFC 8419)
        else throw new UsageError("unsupported signing key " + kalg);
        CMSSignedDataGenerator g = new CMSSignedDataGenerator();
        g.addSignerInfoGenerator(new JcaSignerInfoGeneratorBuilder(new JcaDigestCalculatorProviderBuilder().setProvider(BC).build())
            .build(new JcaContentSignerBuilder(alg).setProvider(BC).build(key), cert));
        g.addCertificate(cert);
        return g.generate(new CMSProcessableByteArray(data), opaque).getEncoded("DER");
    }

    static int verify(byte[] der, X509CertificateHolder ca, byte[] detached) throws Exception {
        CMSSignedData sd = detached == null ? new CMSSignedData(der) : new CMSSignedData(new CMSProcessableByteArray(detached), der);
        if (sd.getSignedContent() == null) return fail("no encapsulated content and no CONTENT file given");
        Collection<X509CertificateHolder> certs = sd.getCertificates().getMatches(null);
        if (sd.getSignerInfos().size() == 0) return fail("message has no signers");
        for (SignerInformation si : sd.getSignerInfos().getSigners()) {
            X509CertificateHolder leaf = certs.stream().filter(c -> si.getSID().match(c)).findFirst().orElse(null);
            if (leaf == null) return fail("signer certificate is not in the message");
            if (!si.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider(BC).build(leaf)))
                return fail("signature does not verify for " + leaf.getSubject());
            if (!chainsTo(leaf, ca, certs)) return fail("certificate " + leaf.getSubject() + " is not issued by the CA");
        }
        if (detached == null) out((byte[]) sd.getSignedContent().getContent());
        return 0;
    }

    // Walks leaf -> intermediates carried in the message -> CA, by signature checks only (no dates or policies).
    static boolean chainsTo(X509CertificateHolder c, X509CertificateHolder ca, Collection<X509CertificateHolder> pool) {
        for (int depth = 0; depth < 8 && c != null; depth++) {
            if (signedBy(c, ca)) return true;
            X509CertificateHolder cur = c;
            c = pool.stream().filter(p -> !p.equals(cur) && signedBy(cur, p)).findFirst().orElse(null);
        }
        return false;
    }

    static boolean signedBy(X509CertificateHolder c, X509CertificateHolder issuer) {
        try { return c.isSignatureValid(new JcaContentVerifierProviderBuilder().setProvider(BC).build(issuer)); }
        catch (Exception e) { return false; }
    }

    // ---- enveloping ----

    static byte[] encrypt(byte[] data, String cipher, boolean oaep, List<X509CertificateHolder> to) throws Exception {
        ASN1ObjectIdentifier oid = CIPHERS.get(cipher);
        if (oid == null) throw new UsageError("bad CIPHER " + cipher);
        // BC 1.72's content encryptor builder has no ChaCha20-Poly1305, so that one is done by hand
        OutputEncryptor enc = oid.equals(CHACHA) ? chachaEncryptor() : new JceCMSContentEncryptorBuilder(oid).setProvider(BC).build();
        int cekLen = ((byte[]) enc.getKey().getRepresentation()).length;
        ASN1ObjectIdentifier wrap = cekLen <= 16 ? CMSAlgorithm.AES128_WRAP : cekLen <= 24 ? CMSAlgorithm.AES192_WRAP : CMSAlgorithm.AES256_WRAP;
        List<RecipientInfoGenerator> ris = new ArrayList<>();
        for (X509CertificateHolder h : to) {
            X509Certificate c = new JcaX509CertificateConverter().setProvider(BC).getCertificate(h);
            String kalg = c.getPublicKey().getAlgorithm();
            if (kalg.equals("RSA")) {
                ris.add(oaep ? new JceKeyTransRecipientInfoGenerator(c, OAEP_SHA256).setProvider(BC)
                    : new JceKeyTransRecipientInfoGenerator(c).setProvider(BC));
            } else {   // EC or X25519: ephemeral-static Diffie-Hellman, X9.63 KDF with SHA-256, AES key wrap
                KeyPairGenerator kpg = KeyPairGenerator.getInstance(kalg.startsWith("EC") ? "EC" : kalg, BC);
                if (c.getPublicKey() instanceof ECPublicKey) kpg.initialize(((ECPublicKey) c.getPublicKey()).getParams());
                KeyPair eph = kpg.generateKeyPair();
                ris.add(new JceKeyAgreeRecipientInfoGenerator(CMSAlgorithm.ECDH_SHA256KDF, eph.getPrivate(), eph.getPublic(), wrap)
                    .addRecipient(c).setProvider(agreementProvider(eph.getPrivate())));
            }
        }
        CMSTypedData content = new CMSProcessableByteArray(data);
        if (enc instanceof OutputAEADEncryptor) {
            CMSAuthEnvelopedDataGenerator g = new CMSAuthEnvelopedDataGenerator();
            ris.forEach(g::addRecipientInfoGenerator);
            return g.generate(content, (OutputAEADEncryptor) enc).toASN1Structure().getEncoded("DER");
        }
        CMSEnvelopedDataGenerator g = new CMSEnvelopedDataGenerator();
        ris.forEach(g::addRecipientInfoGenerator);
        return g.generate(content, enc).toASN1Structure().getEncoded("DER");
    }

    // ChaCha20-Poly1305 content encryption (RFC 8103): parameter is the 12-byte nonce, the 16-byte tag goes in mac.
    static OutputAEADEncryptor chachaEncryptor() {
        byte[] k = new byte[32], nonce = new byte[12];
        SecureRandom rnd = new SecureRandom();
        rnd.nextBytes(k);
        rnd.nextBytes(nonce);
        AlgorithmIdentifier alg = new AlgorithmIdentifier(CHACHA, new DEROctetString(nonce));
        AEADCipher c = aeadCipher(true, k, alg);
        byte[][] mac = new byte[1][];
        return new OutputAEADEncryptor() {
            public AlgorithmIdentifier getAlgorithmIdentifier() { return alg; }
            public GenericKey getKey() { return new GenericKey(alg, k); }
            public OutputStream getAADStream() { return aadStream(c); }
            public byte[] getMAC() { return mac[0]; }
            public OutputStream getOutputStream(OutputStream sink) {
                return new ByteArrayOutputStream() {   // buffer, then split ciphertext || tag
                    public void close() throws IOException {
                        byte[] ct = finish(c, toByteArray());
                        sink.write(ct, 0, ct.length - 16);
                        mac[0] = Arrays.copyOfRange(ct, ct.length - 16, ct.length);
                    }
                };
            }
        };
    }

    // Bouncy Castle's own AEAD ciphers, keyed and given the nonce (and for GCM the tag length) of alg.
    static AEADCipher aeadCipher(boolean encrypt, byte[] key, AlgorithmIdentifier alg) {
        if (alg.getAlgorithm().equals(CHACHA)) {
            AEADCipher c = new ChaCha20Poly1305();
            c.init(encrypt, new AEADParameters(new KeyParameter(key), 128, ASN1OctetString.getInstance(alg.getParameters()).getOctets()));
            return c;
        }
        GCMParameters p = GCMParameters.getInstance(alg.getParameters());
        AEADCipher c = new GCMBlockCipher(new AESEngine());
        c.init(encrypt, new AEADParameters(new KeyParameter(key), p.getIcvLen() * 8, p.getNonce()));
        return c;
    }

    // All of in through c: the output, with the tag appended when encrypting; a tag that does not hold fails.
    static byte[] finish(AEADCipher c, byte[] in) throws IOException {
        byte[] out = new byte[c.getOutputSize(in.length)];
        int n = c.processBytes(in, 0, in.length, out, 0);
        try {
            n += c.doFinal(out, n);
        } catch (InvalidCipherTextException e) { throw new IOException(e); }
        return Arrays.copyOf(out, n);
    }

    static OutputStream aadStream(AEADCipher c) {
        return new OutputStream() {
            public void write(int b) { c.processAADByte((byte) b); }
            public void write(byte[] b, int off, int len) { c.processAADBytes(b, off, len); }
        };
    }

    @SuppressWarnings("unchecked")   // RecipientId is a raw Selector
    static int decrypt(byte[] der, X509CertificateHolder cert, PrivateKey key) throws Exception {
        ContentInfo ci = ContentInfo.getInstance(ASN1Primitive.fromByteArray(der));
        boolean auth = ci.getContentType().equals(CMSObjectIdentifiers.authEnvelopedData);
        RecipientInformationStore store = auth ? new CMSAuthEnvelopedData(ci).getRecipientInfos() : new CMSEnvelopedData(ci).getRecipientInfos();
        for (RecipientInformation ri : store.getRecipients()) {
            if (!ri.getRID().match(cert)) continue;
            boolean agree = ri instanceof KeyAgreeRecipientInformation;
            Recipient r = auth ? aeadRecipient(key, agree)
                : agree ? new JceKeyAgreeEnvelopedRecipient(key).setProvider(agreementProvider(key))
                : new JceKeyTransEnvelopedRecipient(key).setProvider(BC);
            out(ri.getContent(r));
            return 0;
        }
        return fail("no recipient info for " + cert.getSubject());
    }

    // BC 1.72 has no key-agreement recipient for AuthEnvelopedData and no ChaCha20-Poly1305 decryptor:
    // let BC recover the content-encryption key, then run the AEAD cipher ourselves.
    static Recipient aeadRecipient(PrivateKey key, boolean agree) {
        if (agree) return new JceKeyAgreeRecipient(key) {
            public RecipientOperator getRecipientOperator(AlgorithmIdentifier kea, AlgorithmIdentifier cea,
                    SubjectPublicKeyInfo originator, ASN1OctetString ukm, byte[] ek) throws CMSException {
                return aeadOperator(extractSecretKey(kea, cea, originator, ukm, ek), cea);
            }
        }.setProvider(agreementProvider(key));
        return new JceKeyTransRecipient(key) {
            public RecipientOperator getRecipientOperator(AlgorithmIdentifier kea, AlgorithmIdentifier cea, byte[] ek) throws CMSException {
                return aeadOperator(extractSecretKey(kea, cea, ek), cea);
            }
        }.setProvider(BC);
    }

    // BC 1.72's CMS runs dhSinglePass-stdDH-sha256kdf-scheme as EC Diffie-Hellman only. Looked up through this
    // provider, that OID gives BC's X25519 agreement with the same X9.63 KDF, so BC's own CMS code builds and
    // opens X25519 recipient infos (RFC 8418: originator key id-X25519, ECC-CMS-SharedInfo as for EC).
    static Provider agreementProvider(Key k) {
        Provider bc = Security.getProvider(BC);
        if (!k.getAlgorithm().equals("X25519")) return bc;
        return new Provider("BC-X25519", "1.0", "BC with X25519 for the sha256kdf scheme") {
            public Service getService(String type, String alg) {
                boolean kdf = type.equals("KeyAgreement") && alg.equals(CMSAlgorithm.ECDH_SHA256KDF.getId());
                return bc.getService(type, kdf ? "X25519WITHSHA256KDF" : alg);
            }
        };
    }

    static RecipientOperator aeadOperator(Key cek, AlgorithmIdentifier alg) throws CMSException {
        AEADCipher c;
        try {
            c = aeadCipher(false, cek.getEncoded(), alg);
        } catch (IllegalArgumentException e) { throw new CMSException("cannot set up " + alg.getAlgorithm() + ": " + e, e); }
        return new RecipientOperator(new InputAEADDecryptor() {   // BC feeds ciphertext || mac through the stream
            public AlgorithmIdentifier getAlgorithmIdentifier() { return alg; }
            // Read whole on first use, once BC has fed the authenticated attributes.
            public InputStream getInputStream(InputStream in) {
                return new InputStream() {
                    InputStream plain;
                    InputStream plain() throws IOException {
                        if (plain == null) plain = new ByteArrayInputStream(finish(c, in.readAllBytes()));
                        return plain;
                    }
                    public int read() throws IOException { return plain().read(); }
                    public int read(byte[] b, int off, int len) throws IOException { return plain().read(b, off, len); }
                };
            }
            public OutputStream getAADStream() { return aadStream(c); }
            public byte[] getMAC() { return null; }
        });
    }

    // ---- messages in algorithms the library under test does not implement ----

    static void unsupported(String kind, Path dir) throws Exception {
        String alg = Map.of("ed25519-signature", "Ed25519", "x25519-envelope", "X25519", "chacha20-envelope", "RSA").get(kind);
        if (alg == null) throw new UsageError("bad KIND " + kind);
        KeyPair caKp = keyPair("RSA"), kp = keyPair(alg);
        X509CertificateHolder ca = issue("CN=BC Interop Root", caKp.getPublic(), null, caKp.getPrivate(), "root@example.org", 0);
        int ku = alg.equals("Ed25519") ? KeyUsage.digitalSignature : alg.equals("X25519") ? KeyUsage.keyAgreement : KeyUsage.keyEncipherment;
        X509CertificateHolder leaf = issue("CN=BC " + alg + " " + (ku == KeyUsage.digitalSignature ? "Signer" : "Recipient"),
            kp.getPublic(), ca, caKp.getPrivate(), alg.toLowerCase() + "@example.org", ku);
        byte[] msg = alg.equals("Ed25519") ? sign("Signed with Ed25519.\r\n".getBytes("US-ASCII"), leaf, kp.getPrivate(), "sha512", false, true)
            : alg.equals("X25519") ? encrypt("Encrypted to X25519.\r\n".getBytes("US-ASCII"), "aes-256-cbc", false, List.of(leaf))
            : encrypt("Encrypted with ChaCha20-Poly1305.\r\n".getBytes("US-ASCII"), "chacha20-poly1305", false, List.of(leaf));
        Files.createDirectories(dir);
        Files.write(dir.resolve("message.der"), msg);
        PrivateKeyInfo pki = PrivateKeyInfo.getInstance(kp.getPrivate().getEncoded());   // re-encode as plain PKCS#8 v1 (no public key)
        Files.write(dir.resolve("store.pem"), (pem("CERTIFICATE", leaf.getEncoded())
            + pem("PRIVATE KEY", new PrivateKeyInfo(pki.getPrivateKeyAlgorithm(), pki.parsePrivateKey()).getEncoded())).getBytes("US-ASCII"));
        Files.write(dir.resolve("root.pem"), pem("CERTIFICATE", ca.getEncoded()).getBytes("US-ASCII"));
    }

    static KeyPair keyPair(String alg) throws GeneralSecurityException {
        KeyPairGenerator g = KeyPairGenerator.getInstance(alg, BC);
        if (alg.equals("RSA")) g.initialize(2048);
        return g.generateKeyPair();
    }

    // X.509 v3 certificate signed with SHA-256/RSA; issuer == null makes a self-signed CA.
    static X509CertificateHolder issue(String dn, PublicKey pub, X509CertificateHolder issuer, PrivateKey signKey, String email, int ku)
            throws Exception {
        long now = System.currentTimeMillis(), day = 86400000L;
        X500Name subject = new X500Name(dn);
        JcaX509ExtensionUtils eu = new JcaX509ExtensionUtils();
        JcaX509v3CertificateBuilder b = new JcaX509v3CertificateBuilder(issuer == null ? subject : issuer.getSubject(),
            new BigInteger(64, new SecureRandom()).add(BigInteger.ONE), new Date(now - day), new Date(now + 3653 * day), subject, pub);
        b.addExtension(Extension.basicConstraints, true, new BasicConstraints(issuer == null));
        b.addExtension(Extension.keyUsage, true, new KeyUsage(issuer == null ? KeyUsage.keyCertSign | KeyUsage.cRLSign : ku));
        b.addExtension(Extension.subjectAlternativeName, false, new GeneralNames(new GeneralName(GeneralName.rfc822Name, email)));
        b.addExtension(Extension.subjectKeyIdentifier, false, eu.createSubjectKeyIdentifier(pub));
        if (issuer != null) b.addExtension(Extension.authorityKeyIdentifier, false, eu.createAuthorityKeyIdentifier(issuer.getSubjectPublicKeyInfo()));
        return b.build(new JcaContentSignerBuilder("SHA256withRSA").setProvider(BC).build(signKey));
    }

    // ---- I/O helpers ----

    static byte[] stdin() throws IOException { return System.in.readAllBytes(); }
    static void out(byte[] b) throws IOException { System.out.write(b); System.out.flush(); }
    static int fail(String msg) { System.err.println("BcSmime: " + msg); return 1; }

    static String pem(String type, byte[] der) throws IOException {
        StringWriter w = new StringWriter();
        try (PemWriter pw = new PemWriter(w)) { pw.writeObject(new PemObject(type, der)); }
        return w.toString();
    }

    // First object of the given type in a PEM file, so a combined cert+key store works for both arguments.
    static <T> T firstPem(String file, Class<T> type) throws IOException {
        try (PEMParser p = new PEMParser(Files.newBufferedReader(Paths.get(file)))) {
            for (Object o; (o = p.readObject()) != null; ) if (type.isInstance(o)) return type.cast(o);
        }
        throw new IOException(file + " holds no " + (type == PrivateKeyInfo.class ? "unencrypted PKCS#8 key" : "certificate"));
    }

    static X509CertificateHolder cert(String file) throws IOException { return firstPem(file, X509CertificateHolder.class); }
    static PrivateKey key(String file) throws IOException {
        return new JcaPEMKeyConverter().setProvider(BC).getPrivateKey(firstPem(file, PrivateKeyInfo.class));
    }
}
