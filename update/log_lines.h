#pragma once
// Every line an update run can write to its LogSink, in the order they can appear. Each
// carries its own line end; the TFTP read line ends in a line feed alone, as the
// instruments' service tools have always shown it.

inline constexpr const wchar_t* LINE_READING_FILE = L"Reading file (%s) to be downloaded\r\n";
inline constexpr const wchar_t* LINE_FILE_NOT_FOUND = L"File (%s) not found\r\n";
inline constexpr const wchar_t* LINE_ALLOCATING_BUFFER = L"... Allocating buffer for file length %u\r\n";
inline constexpr const wchar_t* LINE_CANNOT_ALLOCATE_MEMORY = L"Cannot allocate memory for file\r\n";
inline constexpr const wchar_t* LINE_READING_THE_FILE = L"... Reading the file\r\n";
inline constexpr const wchar_t* LINE_SETTING_UP_NETWORK = L"Setting up network connections\r\n";
inline constexpr const wchar_t* LINE_CREATING_BOOTP_SOCKET = L"... Creating sockete for BOOTP server\r\n";
inline constexpr const wchar_t* LINE_CANNOT_ALLOCATE_SOCKET = L"Cannot allocate socket\r\n";
inline constexpr const wchar_t* LINE_CREATING_TFTP_SOCKET = L"... Creating sockete for TFTP server\r\n";
inline constexpr const wchar_t* LINE_CREATING_MAGIC_SOCKET =
    L"... Creating sockete for MAGIG packet transmission\r\n";
inline constexpr const wchar_t* LINE_SENDING_MAGIC =
    L"Sending \"Magic\" packet to initiate Ethernet Boot Loader\r\n";
inline constexpr const wchar_t* LINE_STARTING_SERVER = L"Starting BOOTP/TFTP Server\r\n";
inline constexpr const wchar_t* LINE_WAITING = L"Waiting for packet ...\r\n";
inline constexpr const wchar_t* LINE_WAIT_FAILED = L"Waiting for packet failed\r\n";
inline constexpr const wchar_t* LINE_RESENDING_MAGIC = L"... Resending \"Magic\" packet.\r\n";
inline constexpr const wchar_t* LINE_READING_BOOTP = L"... Reading BOOTP packet\r\n";
inline constexpr const wchar_t* LINE_VERIFYING_BOOTP = L"... Verifying BOOTP packet\r\n";
inline constexpr const wchar_t* LINE_GENERATING_BOOTP = L"... Generating BOOTP response\r\n";
inline constexpr const wchar_t* LINE_SENDING_BOOTP = L"... Sending BOOTP response\r\n";
inline constexpr const wchar_t* LINE_READING_TFTP = L"... Reading TFTP packet\n";
inline constexpr const wchar_t* LINE_VERIFYING_RRQ = L"... Verifying TFTP RRQ request\r\n";
inline constexpr const wchar_t* LINE_GENERATE_ERROR = L"... Generate ERROR packet since RRQ\r\n";
inline constexpr const wchar_t* LINE_PACKET_NOT_RECEIVED = L"... packet not received\r\n";
inline constexpr const wchar_t* LINE_RESTARTING_TFTP = L"... Restarting TFTP session\r\n";
inline constexpr const wchar_t* LINE_CREATE_DATA_SOCKET = L"... Create TFTP data socket\r\n";
inline constexpr const wchar_t* LINE_BUILDING_BLOCK = L"... Building TFTP packet (Block %d)\r\n";
inline constexpr const wchar_t* LINE_SENDING_BLOCK = L"... Sending TFTP data packet (Block %d)\r\n";
inline constexpr const wchar_t* LINE_READING_DATA = L"... Reading TFTP data packet\r\n";
inline constexpr const wchar_t* LINE_VERIFY_ACK = L"... Verify TFTP packet is ACK\r\n";
inline constexpr const wchar_t* LINE_CLOSING = L"Closing network connections\r\n";
