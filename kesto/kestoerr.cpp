// Texts for the results of the handle calls and the Err values of a record,
// bilingual like every text of the console program. The five codes its error
// box has always known keep their words exactly.
#include "kesto.h"

namespace {

struct Text {
  LONG Code;
  const char *Wort;
};

constexpr Text Texte[] = {
    {0, "kein Fehler / no error"},
    {2, "DB oder Datenbereich exisitiert nicht / data area in PLC not available"},
    {-1, "Zeitueberlauf / Timeout"},
    {-2,
     "Baudrate oder MPI-Geschwindigkeit passt nicht zur Schnittstelle / "
     "baud rate or bus speed differs from the port's"},
    {-3,
     "eigene MPI-Adresse passt nicht zur Schnittstelle / "
     "own station address differs from the port's"},
    {-4,
     "Schnittstelle nicht zu oeffnen, Grund im Trace / "
     "port cannot be opened, the trace says why"},
    {-5, "allgemeiner Fehler / general error"},
    {-8, "kein Speicher frei / out of memory"},
    {-9, "Wert ausserhalb des Bereichs / value out of range"},
    {-10, "Typ-Kennung falsch / invalid typ"},
    {-99, "Referenznummer ist ungueltig / invalid reference no."},
    // return codes of one item of a tag call (S7TAG.Result)
    {1, "Hardwarefehler in der SPS / hardware fault in the PLC"},
    {3, "Zugriff auf das Objekt nicht erlaubt / access to the object not allowed"},
    {5, "Adresse ausserhalb des Bereichs / address out of range"},
    {6, "Datentyp wird nicht unterstuetzt / data type not supported"},
    {7, "Datentyp oder Laenge passt nicht / data type or length inconsistent"},
    {10, "Objekt existiert nicht (DB fehlt) / object does not exist (no such data block)"},
};

constexpr const char *kUnbekannt = "Unerwarteter Fehler / unknown error";

}  // namespace

extern "C" const char *KS7ErrText(LONG code) {
  for (const Text &t : Texte)
    if (t.Code == code) return t.Wort;
  return kUnbekannt;
}
