#pragma once

#include <QObject>

// The numbered codes of the Korvo link protocol. Every code travels in one
// byte of a packet header (or the low byte of `parameter`); the row names are
// registered with the meta-object system so the log and the UI can name them.
class korvoEnums : public QObject
{
    Q_OBJECT

public:
    explicit korvoEnums(QObject* parent = nullptr);

    enum DeviceConnectionType : int {
        Connection_Wifi = 0,
        Connection_Usb2Can = 1,
        Connection_USB = 2,
    };
    Q_ENUM(DeviceConnectionType)

    enum CommandsEnum : int {
        KeepOnline = 0,
        SerialHashRequest = 1,
        SetLcdPwm = 2,
        SetLedsPwm = 3,
        CheckSettingsSync = 4,
        GetSettings = 5,
        SetSettings = 6,
        AnalogCalibrationCommandMin = 7,
        AnalogCalibrationCommandMax = 8,
        StartRealTimeDataLoop = 9,
        StopRealTimeDataLoop = 10,
        ChangeScreen = 11,
        ChangeSkin = 12,
        PrepareToFlash = 13,
        CheckCrc = 14,
        AskResendPrevPacket = 15,
        GearCalibration = 16,
        AllGearsCalibration = 17,
        VerifiedOk = 18,
        ResetPeaks = 19,
        SpeedSensor_1_GpsCalibration = 20,
        SpeedSensor_2_GpsCalibration = 21,
        SpeedSensor_3_GpsCalibration = 22,
        SpeedSensor_4_GpsCalibration = 23,
        NoAction = 24,
        SetLightSensorSensivity = 25,
        GetLogFilesList = 26,
        GetLogFile = 27,
        ClearLogs = 28,
        LogPacketVerify = 29,
        LogPacketCrcBAD = 30,
        GetTime = 31,
        SetTime = 32,
        GetTrip = 33,
        WifiTransmitAborted = 34,
        AccelerometerCalibration = 35,
        DeviceSerialNum = 36,
        ReadyToFlash = 37,
        ErrorMessage = 38,
        FlashPacketVerify = 39,
        FlashPacketTimeout = 40,
        FlashPacketBadCrc = 41,
        FlashingAbort = 42,
        CheckPdmSettingsSync = 43,
        PdmStartRealTimeDataLoop = 44,
        SetKeypadColorAndBrightness = 45,
        SetKeypadLedsIndicators = 46,
        SendKeypadToSleep = 47,
        DiagnosticMode = 48,
        PdmCalibrateOutputNegative = 49,
        PdmCalibrateOutputPositive = 50,
        PdmCalibrateOutputReset = 51,
        PdmResetBoardInfo = 52,
        PdmSetVbatCorrectionValue = 53,
        PdmSetSerialNum = 54,
        PdmReadAdcRaw = 55,
        PdmReadBoardInfo = 56,
        PdmEnableAllOutputs = 57,
        ChangeWriteProtection = 58,
        EnableReadoutProtection = 59,
        PdmSetCalibrateOutput = 60,
        KorvoCalibrate = 61,
        PdmSetOutputState = 62,
        SettingsPasswordBad = 63,
        GetBoardInfo = 64,
        SetBoadInfoOptionsBits = 65,
        StartLineCalibration = 66,
        EraseRefLap = 67,
        GetRefLap = 68,
        RemoveUserLogo = 69,
        GetKorvoADCRawData = 70,
        Pdm20ACalibrate = 71,
        PdmAutoTestOutputs = 72,
        CANSendCanOpenRequest = 73,
        CANDebugMarker = 74,
        PdmTestAndCalibrate = 75,
        PdmTestEnableRelay = 76,
        PdmTestDisableRelay = 77,
        LoadDefaultSettingsFromFlash = 78,
    };
    Q_ENUM(CommandsEnum)

    enum MessageDataTypes : int {
        AllData = 0,
        CommonSettingsData = 1,
        AllSensorData = 2,
        AllCustomSensorData = 3,
        SkinsPosData = 4,
        CustomAnalogSensorsData = 5,
        LogsFileListData = 6,
        LogFileData = 7,
        KorvoSerialNumData = 8,
        GPS_RMC_Data = 9,
        GPS_GGA_Data = 10,
        GPS_VTG_Data = 11,
        Acc_Gyr_Mag_Data = 12,
        PdmCommonSettings = 13,
        PdmRealtimeData_MessageType = 14,
        KorvoRealtimeData_MessageType = 15,
        BoardInfoData_MessageType = 16,
        PdmAdcRawData_MessageType = 17,
        KorvoDiagnosticData_MessageType = 18,
        CustomCanMessage_MessageType = 19,
        PdmDEFAULTCommonSettings = 20,
        KorvoExtraSettingsData = 21,
        RefLapData = 22,
        UserLogoData = 23,
        GPS_MyStruct_Data = 24,
        KorvoAdcRawData_MessageType = 25,
        PdmOutputsTestsResult = 26,
        CanRawFrame = 27,
        PdmTestAndCalibrateResults = 28,
        FlashDataPacket = 29,
        DfuInfo = 30,
        DataCan = 31,
        MpxPacketData = 32,
        Test_korvo7_tests_result = 200,
        Test_korvo7_realtime = 201,
        Test_korvo7_ADC_RESULT = 202,
        Test_korvo7_lab_supply = 203,
        Test_korvo7_settings = 204,
        Test_korvo7_calibrateInfo = 205,
        Test_korvo7_DfuUpgrade = 206,
    };
    Q_ENUM(MessageDataTypes)

    enum ActionTypes : int {
        FlashData = 0,
        CommandMessage = 1,
    };
    Q_ENUM(ActionTypes)

    enum SocketStatus : int {
        korvoOffline = 0,
        korvoOnline = 1,
        korvoBootOnline = 2,
        korvoRealTimeLoop = 3,
        korvoReflash = 4,
        korvoLogTransfer = 5,
    };
    Q_ENUM(SocketStatus)

    // The SocketStatus rows under names QML can read (it takes only
    // enumerators that begin with a capital letter), for the window to
    // compare the link's status with: the same values, KorvoEnums.KorvoOnline
    // for korvoOnline.
    enum SocketStatusName : int {
        KorvoOffline = korvoOffline,
        KorvoOnline = korvoOnline,
        KorvoBootOnline = korvoBootOnline,
        KorvoRealTimeLoop = korvoRealTimeLoop,
        KorvoReflash = korvoReflash,
        KorvoLogTransfer = korvoLogTransfer,
    };
    Q_ENUM(SocketStatusName)

    enum DeviceModelId : int {
        Device_Korvo7 = 0,
        Device_Korvo7Boot = 1,
        Device_KorvoX20 = 2,
        Device_KorvoX20Boot = 3,
        Device_Halvo30 = 4,
        Device_HalvoBoot = 5,
        Device_KorvoClient = 6,
        Device_All_Broadcast = 7,
        Device_KeypadA = 8,
        Device_KeypadB = 9,
        Device_ExtKeypadC = 10,
        Device_ExtKeypadD = 11,
        Device_ExtCanOpenKeypad = 12,
        Device_USBBoot = 13,
        Device_BusBridgeA = 14,
        Device_BusBridgeB = 15,
        Device_BusBridgeC = 16,
        Device_Trennic = 17,
        Device_AuxUnitA = 18,
        Device_AuxUnitB = 19,
        Device_TrennicKeypad = 20,
        Device_ExtJoystick = 21,
        Device_RadioBridge = 22,
        Device_ExtJ1939Keypad = 23,
    };
    Q_ENUM(DeviceModelId)

    enum ErrorCodes : int {
        Error_BadFirmware = 0,
        Error_WrongSerialNumber = 1,
        Error_BadCrc = 2,
        Error_Timeout = 3,
        Error_SettingsSize = 4,
        Error_CanSend = 5,
        Error_BGA_Timeout = 6,
    };
    Q_ENUM(ErrorCodes)

    enum PacketParseStatus : int {
        PacketRx_InProgress = 0,
        PacketRx_SuccessDataHeader = 1,
        PacketRx_Success = 2,
        PacketRx_BadSize = 3,
        PacketRx_BadHeaderCrc = 4,
        PacketRx_BadDataCrc = 5,
        PacketRx_UnknownCanId = 6,
    };
    Q_ENUM(PacketParseStatus)
};
