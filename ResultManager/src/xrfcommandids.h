#ifndef XRFCOMMANDIDS_H
#define XRFCOMMANDIDS_H

// The command ids that lead every answer of the facade (operationDone) and
// the requests that expect them. A request that carries its own command id
// (an export with options, a full result) is answered with that id.

namespace XrfCommandIds {

enum Id : int {
    DeleteByTestIds = 102, // also the answer of a deletion by date that deleted rows
    DeleteByDate = 103, // a deletion by date that made the file new
    Calendar = 104,
    AveragedResult = 105,
    AutomaticExport = 108,
    LatestTestIds = 110,
    TestIdsOfDay = 114,
    Image = 115,
    FullResult = 117, // a full result as stored (any id but 118 asks for it)
    FullResultDisplayForm = 118,
    ExportWithOptions = 119,
    EditTestInfo = 604,
    // Command and request id of results sent for synchronisation.
    Synchronisation = -1000
};

} // namespace XrfCommandIds

#endif // XRFCOMMANDIDS_H
