// The framework's user-visible texts of connections, I/O, threads, the scheduler and the server.
#pragma once

namespace Id {

// Connections and I/O.
inline constexpr char16_t RSConnectionClosedGracefully[] = u"Die Verbindung wurde erfolgreich geschlossen.";
inline constexpr char16_t RSNotConnected[] = u"Nicht verbunden";
inline constexpr char16_t RSAlreadyConnected[] = u"Verbindung besteht bereits.";
inline constexpr char16_t RSHostRequired[] = u"Host und Port des Servers sind erforderlich.";
inline constexpr char16_t RSConnectTimeout[] = u"Zeitüberschreitung der Verbindung.";
inline constexpr char16_t RSProxyHeaderSignature[] = u"PROXY-Protokoll: die Verbindung beginnt nicht mit einem PROXY-Kopf.";
inline constexpr char16_t RSProxyHeaderTooLong[] = u"PROXY-Protokoll: der Kopf ist länger als erlaubt.";
inline constexpr char16_t RSProxyHeaderMalformed[] = u"PROXY-Protokoll: ungültiger Kopf.";
inline constexpr char16_t RSProxyHeaderVersion[] = u"PROXY-Protokoll: Version %d mit Befehl %d wird nicht unterstützt.";
inline constexpr char16_t RSProxyHeaderFamily[] = u"PROXY-Protokoll: nur TCP über IPv4 und IPv6 wird unterstützt.";
inline constexpr char16_t RSProxyHeaderTimeout[] = u"PROXY-Protokoll: der Kopf kam nicht rechtzeitig.";
inline constexpr char16_t RSReadTimeout[] = u"Zeitüberschreitung beim Lesen.";
inline constexpr char16_t RSReadLnMaxLineLengthExceeded[] = u"Max. Zeilenlänge überschritten.";
inline constexpr char16_t RSReadLnWaitMaxAttemptsExceeded[] = u"Max. Zeilenleseversuche überschritten.";
inline constexpr char16_t RSObjectTypeNotSupported[] = u"Objekttyp nicht unterstützt.";
inline constexpr char16_t RSNoDataToRead[] = u"Keine Daten für den Lesezugriff.";
inline constexpr char16_t RSFileNotFound[] = u"Datei \"%s\" nicht gefunden";
inline constexpr char16_t RSMaximumNumberOfCaptureLineExceeded[] = u"Maximal zulässige Zeilenanzahl überschritten";
inline constexpr char16_t RSNotEnoughDataInBuffer[] = u"Nicht genügend Daten im Puffer. (%d/%d)";
inline constexpr char16_t RSTooMuchDataInBuffer[] = u"Zu viele Daten im Puffer.";
inline constexpr char16_t RSBufferMissingTerminator[] = u"Pufferbegrenzer muss angegeben werden.";
inline constexpr char16_t RSBufferInvalidStartPos[] = u"Pufferstartposition ist ungültig.";
inline constexpr char16_t RSBufferNoBytes[] = u"No bytes in buffer.";
inline constexpr char16_t RSBufferIndexOutOfBounds[] = u"Index out of bounds.";
inline constexpr char16_t RSBufferCapacityTooSmall[] = u"Capacity cannot be smaller than Size";
inline constexpr char16_t RSInterceptCircularLink[] = u"%d: Zirkuläre Verknüpfungen sind nicht zulässig";
inline constexpr char16_t RSInterceptIsDifferent[] = u"Dem IOHandler wurde bereits ein anderes Intercept zugewiesen";
inline constexpr char16_t RSIOHandlerCannotChange[] = u"Verbundener IOHandler kann nicht geändert werden.";
inline constexpr char16_t RSIOHandlerTypeNotInstalled[] = u"Kein IOHandler des Typs %s installiert.";
inline constexpr char16_t RSIOHandlerRequiresLargeStream[] =
    u"Setzen Sie LargeStream auf True, um Streams, die größer als 2 GB sind, zu senden";
inline constexpr char16_t RSIOHandlerStreamDataTooLarge[] = u"Daten sind für den Stream zu groß";
inline constexpr char16_t RSTransparentProxyCannotBind[] = u"Transparenter Proxy kann nicht binden.";
inline constexpr char16_t RSTransparentProxyUDPNotSupported[] = u"UDP wird von diesem Proxy nicht unterstützt.";
inline constexpr char16_t RSSocksUDPNotSupported[] = u"UDP wird in dieser SOCKS-Version nicht unterstützt.";
inline constexpr char16_t RSSocksRequestFailed[] = u"Anforderung zurückgewiesen oder fehlgeschlagen.";
inline constexpr char16_t RSSocksRequestServerFailed[] =
    u"Anforderung zurückgewiesen, weil der SOCKS-Server keine Verbindung herstellen kann.";
inline constexpr char16_t RSSocksRequestIdentFailed[] =
    u"Anforderung zurückgewiesen, weil das Client-Programm und der Identd verschiedene Benutzer-IDs melden.";
inline constexpr char16_t RSSocksUnknownError[] = u"Unbekannter Socks-Fehler.";
inline constexpr char16_t RSSocksServerRespondError[] = u"Socks-Server hat nicht geantwortet.";
inline constexpr char16_t RSSocksAuthMethodError[] = u"Ungültige Authentifizierungsmethode für Socks.";
inline constexpr char16_t RSSocksAuthError[] = u"Authentifizierungsfehler beim Socks-Server.";
inline constexpr char16_t RSSocksServerGeneralError[] = u"Allgemeiner SOCKS-Server-Fehler.";
inline constexpr char16_t RSSocksServerPermissionError[] = u"Verbindung von Regelmenge nicht zugelassen.";
inline constexpr char16_t RSSocksServerNetUnreachableError[] = u"Netzwerk nicht erreichbar.";
inline constexpr char16_t RSSocksServerHostUnreachableError[] = u"Host nicht erreichbar.";
inline constexpr char16_t RSSocksServerConnectionRefusedError[] = u"Verbindung abgelehnt.";
inline constexpr char16_t RSSocksServerTTLExpiredError[] = u"TTL abgelaufen.";
inline constexpr char16_t RSSocksServerCommandError[] = u"Anweisung nicht unterstützt.";
inline constexpr char16_t RSSocksServerAddressError[] = u"Adresstyp nicht unterstützt.";
inline constexpr char16_t RSReplyInvalidCode[] = u"Antwortcode ist ungültig: %s";
inline constexpr char16_t RSReplyCodeAlreadyExists[] = u"Antwortcode bereits vorhanden: %s";

// Threads, scheduler and server.
inline constexpr char16_t RSThreadTerminateAndWaitFor[] =
    u"Aufruf von TerminateAndWaitFor für FreeAndTerminate-Threads nicht möglich";
inline constexpr char16_t RSUnknownThreadName[] = u"IdThread (unknown)";
// What a thread records for a thrown object that carries no message of its own.
inline constexpr char16_t RSUnknownException[] = u"Unbekannte Ausnahme";
inline constexpr char16_t RSSchedulerMaxThreadsExceeded[] =
    u"Die maximale Thread-Anzahl für diesen Scheduler ist überschritten.";
inline constexpr char16_t RSThreadSchedulerThreadRequired[] = u"Thread muss für den Scheduler angegeben werden.";
inline constexpr char16_t RSTCPServerSchedulerAlreadyActive[] =
    u"Scheduler kann nicht geändert werden, solange der Server aktiv ist.";
inline constexpr char16_t RSNoOnExecute[] = u"OnExecute-Ereignis muss vorhanden sein.";

}  // namespace Id
