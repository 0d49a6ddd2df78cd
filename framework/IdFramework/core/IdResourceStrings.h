// The framework's user-visible texts of the stack, the socket handles and the foundation.
#pragma once

namespace Id {

// Socket errors: "Socket-Fehler # <code>" CR LF "<description>".
inline constexpr char16_t RSStackError[] = u"Socket-Fehler # %d\r\n%s";
inline constexpr char16_t RSStackEINTR[] = u"Systemaufruf unterbrochen.";
inline constexpr char16_t RSStackEBADF[] = u"Ungültige Dateinummer.";
inline constexpr char16_t RSStackEACCES[] = u"Festgelegte Größe überschritten.";
inline constexpr char16_t RSStackEFAULT[] = u"Pufferfehler.";
inline constexpr char16_t RSStackEINVAL[] = u"Ungültiges Argument.";
inline constexpr char16_t RSStackEMFILE[] = u"Zu viele geöffnete Dateien.";
inline constexpr char16_t RSStackEWOULDBLOCK[] = u"Operation würde blockieren.";
inline constexpr char16_t RSStackEINPROGRESS[] = u"Operation wird jetzt verarbeitet.";
inline constexpr char16_t RSStackEALREADY[] = u"Operation wird bereits verarbeitet.";
inline constexpr char16_t RSStackENOTSOCK[] = u"Socket-Operation mit Nicht-Socket.";
inline constexpr char16_t RSStackEDESTADDRREQ[] = u"Zieladresse erforderlich.";
inline constexpr char16_t RSStackEMSGSIZE[] = u"Nachricht zu lang.";
inline constexpr char16_t RSStackEPROTOTYPE[] = u"Falscher Protokolltyp für Socket.";
inline constexpr char16_t RSStackENOPROTOOPT[] = u"Ungültige Protokolloption.";
inline constexpr char16_t RSStackEPROTONOSUPPORT[] = u"Protokoll nicht unterstützt.";
inline constexpr char16_t RSStackESOCKTNOSUPPORT[] = u"Socket-Typ nicht unterstützt.";
inline constexpr char16_t RSStackEOPNOTSUPP[] = u"Operation bei Socket nicht unterstützt.";
inline constexpr char16_t RSStackEPFNOSUPPORT[] = u"Protokollfamilie nicht unterstützt.";
inline constexpr char16_t RSStackEAFNOSUPPORT[] = u"Adressfamilie von Protokollfamilie nicht unterstützt.";
inline constexpr char16_t RSStackEADDRINUSE[] = u"Adresse wird bereits verwendet.";
inline constexpr char16_t RSStackEADDRNOTAVAIL[] = u"Angeforderte Adresse kann nicht zugewiesen werden.";
inline constexpr char16_t RSStackENETDOWN[] = u"Netzwerk ist heruntergefahren.";
inline constexpr char16_t RSStackENETUNREACH[] = u"Netzwerk ist nicht erreichbar.";
inline constexpr char16_t RSStackENETRESET[] = u"Netz hat die Verbindung verloren oder zurückgesetzt.";
inline constexpr char16_t RSStackECONNABORTED[] = u"Software verursachte einen Verbindungsabbruch.";
inline constexpr char16_t RSStackECONNRESET[] = u"Verbindung von Peer zurückgesetzt.";
inline constexpr char16_t RSStackENOBUFS[] = u"Kein Pufferplatz verfügbar.";
inline constexpr char16_t RSStackEISCONN[] = u"Socket ist bereits verbunden.";
inline constexpr char16_t RSStackENOTCONN[] = u"Socket ist nicht verbunden.";
inline constexpr char16_t RSStackESHUTDOWN[] = u"Wenn Socket geschlossen ist, kann nicht gesendet oder empfangen werden.";
inline constexpr char16_t RSStackETOOMANYREFS[] = u"Zu viele Referenzen, Verbindung nicht möglichg.";
inline constexpr char16_t RSStackETIMEDOUT[] = u"Zeitüberschreitung bei Verbindung.";
inline constexpr char16_t RSStackECONNREFUSED[] = u"Verbindung abgelehnt.";
inline constexpr char16_t RSStackELOOP[] = u"Zu viele Ebenen symbolischer Verknüpfungen.";
inline constexpr char16_t RSStackENAMETOOLONG[] = u"Dateiname zu lang.";
inline constexpr char16_t RSStackEHOSTDOWN[] = u"Host ist heruntergefahren.";
inline constexpr char16_t RSStackEHOSTUNREACH[] = u"Kein Route zum Host.";
inline constexpr char16_t RSStackENOTEMPTY[] = u"Verzeichnis nicht leer";
inline constexpr char16_t RSStackHOST_NOT_FOUND[] = u"Host nicht gefunden.";

// Stack and library start-up.
inline constexpr char16_t RSStackAlreadyCreated[] = u"Stack bereits erstellt.";
inline constexpr char16_t RSStackClassUndefined[] = u"Stack-Klasse ist nicht definiert.";
inline constexpr char16_t RSIPVersionUnsupported[] = u"Die angeforderte IPVersion-/Adress-Familie wird nicht unterstützt.";
inline constexpr char16_t RSIPv6Unavailable[] = u"IPv6 nicht verfügbar";
inline constexpr char16_t RSInvalidIPv6Address[] = u"%s ist keine gültige IPv6-Adresse";
inline constexpr char16_t RSInvalidServiceName[] = u"%s ist kein gültiger Service.";
inline constexpr char16_t RSSetSizeExceeded[] = u"Set Size Exceeded.";
inline constexpr char16_t RSWinsockLoadError[] = u"Fehler beim Laden der Winsock2-Bibliothek (%s)";
inline constexpr char16_t RSWinsockCallError[] = u"Fehler beim Aufruf der Winsock2-Bibliotheksfunktion %s";
inline constexpr char16_t RSPackageSizeTooBig[] = u"Package zu groß.";
inline constexpr char16_t RSNotAllBytesSent[] = u"Nicht alle Bytes gesendet.";

// Socket handles.
inline constexpr char16_t RSCouldNotBindSocket[] =
    u"Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.";
inline constexpr char16_t RSInvalidPortRange[] = u"Ungültiger Port-Bereich (%d - %d)";
inline constexpr char16_t RSCannotBindRange[] = u"Port-Bereich (%d - %d) kann nicht eingebunden werden";
inline constexpr char16_t RSCannotSetIPVersionWhenConnected[] = u"Wenn verbunden, kann IPVersion nicht verändert werden";

// Status texts, indexed by TIdStatus.
inline constexpr char16_t RSStatusResolving[] = u"Host-Name %s wird aufgelöst.";
inline constexpr char16_t RSStatusConnecting[] = u"Verbinden mit %s.";
inline constexpr char16_t RSStatusConnected[] = u"Verbunden.";
inline constexpr char16_t RSStatusDisconnecting[] = u"Verbindung wird getrennt.";
inline constexpr char16_t RSStatusDisconnected[] = u"Verbindung getrennt.";
inline constexpr char16_t RSStatusText[] = u"%s";

// Foundation.
inline constexpr char16_t RSOnlyOneAntiFreeze[] = u"Pro Anwendung darf nur ein TIdAntiFreeze vorhanden sein.";
inline constexpr char16_t RSInvalidCharPos[] = u"Invalid ACharPos";

}  // namespace Id
