/*
 * vcomm.h - the ring-0 port services of VCOMM and the one VMM service that
 * portbridge calls.
 *
 * On the target each service is an INT 20h service call (device 0x002B for
 * VCOMM, 0x0001 for VMM, the service number in the low half); here the same
 * declarations reach the emulated machine's port services. Nothing in this
 * header depends on how the services are implemented.
 *
 * A tested result means success when it is nonzero.
 */
#ifndef HS_VCOMM_H
#define HS_VCOMM_H

#include <wdm.h>

#define VCOMM_DEVICE_ID 0x002B
#define VMM_DEVICE_ID 0x0001

/* Service numbers (low half of the service word). */
#define VCOMM_SERVICE_OpenComm 0x04
#define VCOMM_SERVICE_SetCommState 0x05
#define VCOMM_SERVICE_GetCommState 0x06
#define VCOMM_SERVICE_SetupComm 0x07
#define VCOMM_SERVICE_TransmitCommChar 0x08
#define VCOMM_SERVICE_CloseComm 0x09
#define VCOMM_SERVICE_GetCommQueueStatus 0x0A
#define VCOMM_SERVICE_ClearCommError 0x0B
#define VCOMM_SERVICE_GetModemStatus 0x0C
#define VCOMM_SERVICE_GetCommProperties 0x0D
#define VCOMM_SERVICE_EscapeCommFunction 0x0E
#define VCOMM_SERVICE_PurgeComm 0x0F
#define VCOMM_SERVICE_SetCommEventMask 0x10
#define VCOMM_SERVICE_GetCommEventMask 0x11
#define VCOMM_SERVICE_WriteComm 0x12
#define VCOMM_SERVICE_ReadComm 0x13
#define VCOMM_SERVICE_EnableCommNotification 0x14
#define VCOMM_SERVICE_GetSetCommTimeouts 0x1A
#define VMM_SERVICE_Schedule_Global_Event 0x0E

/* _VCOMM_OpenComm failures. */
#define IE_BADID ((ULONG)-1)  /* no such port */
#define IE_OPEN ((ULONG)-2)   /* port already open */

/* Escape functions. */
#define SETXOFF 1  /* act as if XOFF was received */
#define SETXON 2   /* act as if XON was received */
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 12
#define CLRBREAK 13
#define ESCAPE_AFTER_BAUD_CHANGE 16 /* issued after each baud-rate change */

/* PurgeComm queues. */
#define VCOMM_PURGE_TX 0
#define VCOMM_PURGE_RX 1

/* GetSetCommTimeouts direction. */
#define VCOMM_TIMEOUTS_GET 0
#define VCOMM_TIMEOUTS_SET 1

/* Action-mask bits: one per DCB field in record order. */
#define fBaudRate 0x00001
#define fBitMask 0x00002
#define fXonLim 0x00004
#define fXoffLim 0x00008
#define fByteSize 0x00010
#define fbParity 0x00020
#define fStopBits 0x00040
#define fXonChar 0x00080
#define fXoffChar 0x00100
#define fErrorChar 0x00200
#define fEofChar 0x00400
#define fEvtChar1 0x00800
#define fEvtChar2 0x01000
#define fRlsTimeout 0x02000
#define fCtsTimeout 0x04000
#define fDsrTimeout 0x08000
#define fTxDelay 0x10000
#define VCOMM_ACTION_LINE_FORMAT 0x1E05F   /* whole line format, Parity included */
#define VCOMM_ACTION_SPECIAL_CHARS 0xF80   /* XonChar to EvtChar1 */

/* DCB BitMask flags: the handshake bits as SET_HANDFLOW writes them. DTR
 * and RTS are each a pair of opposite bits (fDtrEnable/fDTRDisable,
 * fRtsEnable/fRTSDisable). */
#define fBinary 0x00000001
#define fRTSDisable 0x00000002     /* RTS held low */
#define fParity 0x00000004
#define fOutXCTSFlow 0x00000008    /* transmit only while CTS is on */
#define fOutXDSRFlow 0x00000010    /* transmit only while DSR is on */
#define fEnqAck 0x00000020
#define fEtxAck 0x00000040
#define fDTRDisable 0x00000080     /* DTR held low */
#define fOutX 0x00000100
#define fInX 0x00000200
#define fPErrChar 0x00000400       /* bytes with errors become ErrorChar */
#define fNullStrip 0x00000800      /* received NUL bytes are dropped */
#define fCharEvent 0x00001000
#define fDTRFlow 0x00002000        /* DTR input handshake */
#define fRTSFlow 0x00004000        /* RTS input handshake */
#define fWaitingForCTS 0x00008000
#define fDSRSensitivity 0x00010000 /* received bytes ignored while DSR is off */
#define fTxContinueOnXoff 0x00020000
#define fDtrEnable 0x00040000      /* DTR raised */
#define fAbortOnError 0x00080000
#define fRtsEnable 0x00100000      /* RTS raised */

/* Index codes a DCB BaudRate may hold instead of a literal rate. */
#define CBR_110 0xFF10
#define CBR_300 0xFF11
#define CBR_600 0xFF12
#define CBR_1200 0xFF13
#define CBR_2400 0xFF14
#define CBR_4800 0xFF15
#define CBR_9600 0xFF16
#define CBR_14400 0xFF17
#define CBR_19200 0xFF18
#define CBR_38400 0xFF1B
#define CBR_56000 0xFF1F
#define CBR_128000 0xFF23
#define CBR_256000 0xFF27

/* Port settings record: 48 bytes. */
typedef struct _DCB {
    ULONG DCBLength;
    ULONG BaudRate; /* literal rate, or an index code CBR_* */
    ULONG BitMask;
    ULONG XonLim;
    ULONG XoffLim;
    USHORT wReserved;
    UCHAR ByteSize;
    UCHAR Parity;   /* SERIAL_LINE_CONTROL codes */
    UCHAR StopBits; /* SERIAL_LINE_CONTROL codes */
    UCHAR XonChar;
    UCHAR XoffChar;
    UCHAR ErrorChar;
    UCHAR EofChar;
    UCHAR EvtChar1;
    UCHAR EvtChar2;
    UCHAR bReserved;
    ULONG RlsTimeout;
    ULONG CtsTimeout;
    ULONG DsrTimeout;
    ULONG TxDelay;
} DCB, *PDCB;

/* COMSTAT status bits. */
#define fCtsHold 0x01
#define fDsrHold 0x02
#define fRlsdHold 0x04
#define fXoffHold 0x08
#define fXoffSent 0x10
#define fEof 0x20
#define fTxim 0x40

typedef struct _COMSTAT {
    ULONG BitMask;  /* status bits above */
    ULONG cbInQue;  /* bytes in the receive queue */
    ULONG cbOutQue; /* bytes in the transmit queue */
} COMSTAT, *PCOMSTAT;

/* Error word bits. */
#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010

/* Laid out as SERIAL_TIMEOUTS. */
typedef struct _COMMTIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *PCOMMTIMEOUTS;

/* Laid out as the 64-byte SERIAL_COMMPROP. */
typedef struct _COMMPROP {
    USHORT wPacketLength;
    USHORT wPacketVersion;
    ULONG dwServiceMask;
    ULONG dwReserved1;
    ULONG dwMaxTxQueue;
    ULONG dwMaxRxQueue;
    ULONG dwMaxBaud;
    ULONG dwProvSubType;
    ULONG dwProvCapabilities;
    ULONG dwSettableParams;
    ULONG dwSettableBaud;
    USHORT wSettableData;
    USHORT wSettableStopParity;
    ULONG dwCurrentTxQueue;
    ULONG dwCurrentRxQueue;
    ULONG dwProvSpec1;
    ULONG dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *PCOMMPROP;

/* Event bits: equal to SERIAL_EV_RXCHAR .. SERIAL_EV_PERR. */
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200

/* Notification event codes; only CN_EVENT is acted on. */
#define CN_RECEIVE 1
#define CN_TRANSMIT 2
#define CN_EVENT 4

/* Modem status bits returned by _VCOMM_GetModemStatus (serial interface's). */
#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

/* VCOMM and VMM services and the routines they call back use the C calling
 * convention (the caller removes the arguments), not NTAPI. */
typedef VOID VCOMM_NOTIFY_ROUTINE(ULONG Port, PVOID Data, ULONG Event, ULONG SubEvent);
typedef VCOMM_NOTIFY_ROUTINE *PVCOMM_NOTIFY_ROUTINE;

typedef VOID VMM_EVENT_ROUTINE(PVOID RefData);
typedef VMM_EVENT_ROUTINE *PVMM_EVENT_ROUTINE;

HS_EXTERN_C_BEGIN

ULONG _VCOMM_OpenComm(PCHAR Name, ULONG Vm);
ULONG _VCOMM_SetCommState(ULONG Port, PDCB Dcb, ULONG ActionMask);
ULONG _VCOMM_GetCommState(ULONG Port, PDCB Dcb);
ULONG _VCOMM_SetupComm(ULONG Port, PUCHAR RxBuffer, ULONG RxSize, PUCHAR TxBuffer,
                       ULONG TxSize, PVOID Reserved8);
ULONG _VCOMM_TransmitCommChar(ULONG Port, ULONG Char);
ULONG _VCOMM_CloseComm(ULONG Port);
ULONG _VCOMM_GetCommQueueStatus(ULONG Port, PCOMSTAT ComStat);
ULONG _VCOMM_ClearCommError(ULONG Port, PCOMSTAT ComStat, PULONG Errors);
ULONG _VCOMM_GetModemStatus(ULONG Port, PULONG ModemStatus);
ULONG _VCOMM_GetCommProperties(ULONG Port, PCOMMPROP CommProp);
ULONG _VCOMM_EscapeCommFunction(ULONG Port, ULONG Function, ULONG InData, PVOID OutData);
ULONG _VCOMM_PurgeComm(ULONG Port, ULONG Queue);
ULONG _VCOMM_SetCommEventMask(ULONG Port, ULONG Mask, PULONG Events);
ULONG _VCOMM_GetCommEventMask(ULONG Port, ULONG EventsToClear, PULONG Events);
ULONG _VCOMM_WriteComm(ULONG Port, PUCHAR Buffer, ULONG Length, PULONG Written);
ULONG _VCOMM_ReadComm(ULONG Port, PUCHAR Buffer, ULONG Length, PULONG Read);
ULONG _VCOMM_EnableCommNotification(ULONG Port, PVCOMM_NOTIFY_ROUTINE Routine, PVOID Data);
ULONG _VCOMM_GetSetCommTimeouts(ULONG Port, PCOMMTIMEOUTS Timeouts, ULONG Action);

/* VMM: runs Routine(RefData) once, after the current interrupt-time code has
 * returned; returns the event handle. */
ULONG Schedule_Global_Event(PVMM_EVENT_ROUTINE Routine, PVOID RefData);

HS_EXTERN_C_END

#endif /* HS_VCOMM_H */
