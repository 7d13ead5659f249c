// The service's message catalogue: every message with its id, destination, level and text.
// Trace texts take the reporting function's name as their first argument; event log texts
// are complete sentences.
#pragma once

// X(name, id, destination, level, text): the level is the trace level for trace messages and
// the event priority for event log messages.
#define JOVX_MESSAGE_CATALOGUE(X)                                                                  \
    X(KTLOR_011_K, "KTLOR-011-K", trace, 30, "%s : Enter.")                                        \
    X(KTLOR_012_K, "KTLOR-012-K", trace, 30, "%s : Exit.")                                         \
    X(KTLOR_013_E, "KTLOR-013-E", trace, 0,                                                        \
      "%s : Failed to initialize COM library with error code=0x%x.")                               \
    X(KTLOR_014_E, "KTLOR-014-E", trace, 0,                                                        \
      "%s : API CoInitializeSecurity has failed with error code=0x%x.")                            \
    X(KTLOR_015_E, "KTLOR-015-E", trace, 0,                                                        \
      "%s : Exception has been occurred in the function. Thus exits from the function.")           \
    X(KTLOR_016_E, "KTLOR-016-E", trace, 0,                                                        \
      "%s : WDT_Win_WatchdogInit failed and WDT_OperationThread exits.")                           \
    X(KTLOR_017_I, "KTLOR-017-I", trace, 20, "%s : The return value of IpmiAccessCall() is %d.")   \
    X(KTLOR_018_E, "KTLOR-018-E", trace, 0,                                                        \
      "%s : IpmiAccessOpen has failed and the function exits.")                                    \
    X(KTLOR_019_K, "KTLOR-019-K", trace, 30, "%s : pucBuff[%d]=%x.")                               \
    X(KTLOR_020_K, "KTLOR-020-K", trace, 30, "%s : pucData[%d]=%x.")                               \
    X(KTLOR_021_E, "KTLOR-021-E", trace, 0, "%s : WaitForSingleObject failed with error %d.")      \
    X(KTLOR_022_I, "KTLOR-022-I", trace, 20, "%s : Timeout for wait occurred.")                    \
    X(KTLOR_023_I, "KTLOR-023-I", trace, 20, "%s : The value of m_fOpen is %d.")                   \
    X(KTLOR_024_E, "KTLOR-024-E", trace, 0, "%s : CreateInstanceEnum error.")                      \
    X(KTLOR_025_E, "KTLOR-025-E", trace, 0, "%s : IEnumWbemClassObject error.")                    \
    X(KTLOR_026_E, "KTLOR-026-E", trace, 0, "%s : Get BMC instance path error.")                   \
    X(KTLOR_027_I, "KTLOR-027-I", trace, 20, "%s : The BMC instance path is : %s.")                \
    X(KTLOR_028_K, "KTLOR-028-K", trace, 30, "%s : NetFn=0x%x, Cmd=0x%x.")                         \
    X(KTLOR_029_K, "KTLOR-029-K", trace, 30,                                                       \
      "%s : strInstance is assigned with value "                                                   \
      "<Microsoft_IPMI.InstanceName=\"ACPI\\IPI0001\\5_0\">.")                                     \
    X(KTLOR_030_K, "KTLOR-030-K", trace, 30, "%s : varCommand=0x%x.")                              \
    X(KTLOR_031_K, "KTLOR-031-K", trace, 30, "%s : varLun=0x0.")                                   \
    X(KTLOR_032_K, "KTLOR-032-K", trace, 30, "%s : varNetFn=0x%x.")                                \
    X(KTLOR_033_K, "KTLOR-033-K", trace, 30, "%s : varReqSize=%d.")                                \
    X(KTLOR_034_K, "KTLOR-034-K", trace, 30, "%s : varRspAddr=0x20.")                              \
    X(KTLOR_035_E, "KTLOR-035-E", trace, 0,                                                        \
      "%s : Abnormal return as WMI instance is not created.")                                      \
    X(KTLOR_036_K, "KTLOR-036-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(strNetFn) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")        \
    X(KTLOR_037_K, "KTLOR-037-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(strLun) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")          \
    X(KTLOR_038_K, "KTLOR-038-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(strRspAddr) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")      \
    X(KTLOR_039_K, "KTLOR-039-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(strCommand) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")      \
    X(KTLOR_040_K, "KTLOR-040-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(varReqSize) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")      \
    X(KTLOR_041_K, "KTLOR-041-K", trace, 30,                                                       \
      "%s : m_pInInstance->Put(strReqData) Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")      \
    X(KTLOR_042_K, "KTLOR-042-K", trace, 30,                                                       \
      "%s : m_pIWbemServices->ExecMethod Completed <l_nResult>=%d, <l_nReturnValue>=0x%x.")        \
    X(KTLOR_043_K, "KTLOR-043-K", trace, 30,                                                       \
      "%s : m_pOutInstance->Get(strCompletionCode) Completed <l_nResult>=%d, "                     \
      "<l_nReturnValue>=0x%x, value=0x%x.")                                                        \
    X(KTLOR_044_K, "KTLOR-044-K", trace, 30,                                                       \
      "%s : m_pOutInstance->Get(varResponseDataSize) Completed <l_nResult>=%d, "                   \
      "<l_nReturnValue>=0x%x, value=0x%x.")                                                        \
    X(KTLOR_045_K, "KTLOR-045-K", trace, 30, "%s : ResponseData[%02d]=0x%02x.")                    \
    X(KTLOR_047_K, "KTLOR-047-K", trace, 30, "%s : VariantClear for all variants Completed.")      \
    X(KTLOR_048_K, "KTLOR-048-K", trace, 30, "%s : SysFreeString for all strings Completed.")      \
    X(KTLOR_049_E, "KTLOR-049-E", trace, 0,                                                        \
      "%s : API StartServiceCtrlDispatcher has failed with error %d.")                             \
    X(KTLOR_050_E, "KTLOR-050-E", trace, 0, "%s : API RegisterServiceCtrlHandler has failed.")     \
    X(KTLOR_051_E, "KTLOR-051-E", trace, 0, "%s : API SetServiceStatus has failed with error %d.") \
    X(KTLOR_052_K, "KTLOR-052-K", trace, 30, "%s : Value of %s in the settings XML is %d.")        \
    X(KTLOR_053_K, "KTLOR-053-K", trace, 30, "%s : Value of %s in the settings XML is %s.")        \
    X(KTLOR_055_W, "KTLOR-055-W", trace, 10, "%s : API SetEvent has failed.")                      \
    X(KTLOR_056_E, "KTLOR-056-E", trace, 0,                                                        \
      "%s : The API WaitForSingleObject() for WDTOperationThread has failed.")                     \
    X(KTLOR_057_E, "KTLOR-057-E", trace, 0, "%s : Skipped to output over 2147483646 messages.")    \
    X(KTLOR_058_E, "KTLOR-058-E", trace, 0, "%s : Skipped to output %d messages.")                 \
    X(KTLOR_059_E, "KTLOR-059-E", trace, 0, "%s : WDT_CreateWindow() has failed.")                 \
    X(KTLOR_060_I, "KTLOR-060-I", trace, 20, "%s : XMLReadEvent signal has been sent.")            \
    X(KTLOR_061_I, "KTLOR-061-I", event_log, 6, "Orvalis : The service started successfully.")     \
    X(KTLOR_062_I, "KTLOR-062-I", event_log, 6, "Orvalis : The service stopped successfully.")     \
    X(KTLOR_063_I, "KTLOR-063-I", event_log, 6,                                                    \
      "Orvalis : The timer is successfully set and started.")                                      \
    X(KTLOR_064_I, "KTLOR-064-I", event_log, 6, "Orvalis : The timer is successfully stopped.")    \
    X(KTLOR_065_E, "KTLOR-065-E", event_log, 3,                                                    \
      "Orvalis : There is no response from the hardware.")                                         \
    X(KTLOR_066_I, "KTLOR-066-I", event_log, 6,                                                    \
      "Orvalis : The response recovered from the hardware.")                                       \
    X(KTLOR_067_E, "KTLOR-067-E", event_log, 3, "Orvalis : Stopping the timer has been failed.")   \
    X(KTLOR_068_I, "KTLOR-068-I", trace, 20, "%s : CoInitializeEx is successful.")                 \
    X(KTLOR_069_I, "KTLOR-069-I", trace, 20, "%s : Read the newly updated XML file.")              \
    X(KTLOR_070_I, "KTLOR-070-I", trace, 20,                                                       \
      "%s : The thread handle for WDTOperationThread has been signaled.")                          \
    X(KTLOR_071_E, "KTLOR-071-E", trace, 0, "%s : API CreateWindow failed with error %d.")         \
    X(KTLOR_074_E, "KTLOR-074-E", trace, 0,                                                        \
      "%s : API RegisterWindowMessage failed with error %d.")                                      \
    X(KTLOR_075_I, "KTLOR-075-I", trace, 20, "%s : API RegisterWindowMessage is successful.")      \
    X(KTLOR_076_I, "KTLOR-076-I", trace, 20, "%s : WDT_CreateWindow is successful.")               \
    X(KTLOR_077_I, "KTLOR-077-I", trace, 20, "%s : API CreateThread is successful.")               \
    X(KTLOR_078_E, "KTLOR-078-E", trace, 0, "%s : API RegisterClassEx failed with error %d.")      \
    X(KTLOR_080_K, "KTLOR-080-K", trace, 30, "%s : InitializeLogFiles is successful.")             \
    X(KTLOR_081_I, "KTLOR-081-I", trace, 20, "%s : BMC is stopped from KTL - Orvalis service.")    \
    X(KTLOR_082_I, "KTLOR-082-I", trace, 20,                                                       \
      "%s : BMC could not be stopped from KTL - Orvalis service.")                                 \
    X(KTLOR_083_I, "KTLOR-083-I", trace, 20, "%s : CoInitializeSecurity API is successful.")       \
    X(KTLOR_084_I, "KTLOR-084-I", trace, 20, "%s : The function %s has returned a value %d.")      \
    X(KTLOR_085_I, "KTLOR-085-I", trace, 20, "%s : Service stop signal is received.")              \
    X(KTLOR_086_I, "KTLOR-086-I", trace, 20, "%s : Error watching is set to TRUE.")                \
    X(KTLOR_087_I, "KTLOR-087-I", trace, 20, "%s : Error watching is set to FALSE.")               \
    X(KTLOR_088_E, "KTLOR-088-E", trace, 0, "%s : Wait for multiple objects has failed.")          \
    X(KTLOR_089_I, "KTLOR-089-I", trace, 20, "%s : XML update event signal has been received.")    \
    X(KTLOR_090_E, "KTLOR-090-E", trace, 0, "%s : API GetModuleHandle failed with error %d.")      \
    X(KTLOR_091_I, "KTLOR-091-I", trace, 20, "%s : CreateWindow is successful.")                   \
    X(KTLOR_092_I, "KTLOR-092-I", trace, 20, "%s : IPMI connection is already open.")              \
    X(KTLOR_093_E, "KTLOR-093-E", trace, 0, "%s : API %s fail with error 0x%x.")                   \
    X(KTLOR_094_I, "KTLOR-094-I", trace, 20, "%s : API %s is success.")                            \
    X(KTLOR_095_E, "KTLOR-095-E", trace, 0, "%s : API %s fail with error %d.")                     \
    X(KTLOR_096_E, "KTLOR-096-E", trace, 0, "%s : The function WinControl execution failed.")      \
    X(KTLOR_097_E, "KTLOR-097-E", trace, 0, "%s : API CreateEvent failed with error %d.")          \
    X(KTLOR_098_E, "KTLOR-098-E", trace, 0, "%s : API CreateThread failed with error %d.")         \
    X(KTLOR_099_I, "KTLOR-099-I", trace, 20, "%s : XML update event signal has been sent.")        \
    X(KTLOR_100_E, "KTLOR-100-E", trace, 0, "%s : WDT_RegisterWindow() has failed.")               \
    X(KTLOR_101_E, "KTLOR-101-E", trace, 0, "%s : API UnregisterClass fails with error %d.")       \
    X(KTLOR_102_I, "KTLOR-102-I", trace, 20, "%s : API UnregisterClass is successful.")            \
    X(KTLOR_103_I, "KTLOR-103-I", trace, 20, "%s : DestroyWindow is successful.")                  \
    X(KTLOR_104_E, "KTLOR-104-E", trace, 0, "%s : DestroyWindow is failed with error %d.")         \
    X(KTLOR_105_E, "KTLOR-105-E", trace, 0, "%s : API SetThreadPriority failed with error %d.")    \
    X(KTLOR_106_I, "KTLOR-106-I", trace, 20,                                                       \
      "%s : The thread priority has been set to THREAD_PRIORITY_TIME_CRITICAL.")                   \
    X(KTLOR_107_I, "KTLOR-107-I", trace, 20, "%s : The IPMI connection is about to be refreshed.") \
    X(KTLOR_108_E, "KTLOR-108-E", trace, 0, "%s : IPMI communication has failed.")                 \
    X(KTLOR_109_I, "KTLOR-109-I", event_log, 6, "Orvalis : The timer is disabled.")                \
    X(KTLOR_110_I, "KTLOR-110-I", event_log, 6, "Orvalis : The timer is not started.")             \
    X(KTLOR_111_I, "KTLOR-111-I", trace, 20,                                                       \
      "%s : BMC stop is been processed as error watching has been set to False.")                  \
    X(KTLOR_112_K, "KTLOR-112-K", trace, 30, "%s : The %s value is adjusted to %d.")               \
    X(KTLOR_113_E, "KTLOR-113-E", trace, 0, "%s : The IPMI call has not returned.")                \
    X(KTLOR_114_E, "KTLOR-114-E", trace, 0, "%s : The API %s has failed with error %d.")           \
    X(KTLOR_115_K, "KTLOR-115-K", trace, 30, "%s : The API %s has been executed successfully.")    \
    X(KTLOR_116_E, "KTLOR-116-E", trace, 0, "%s : The length of the IPMI response data is 0.")     \
    X(KTLOR_117_E, "KTLOR-117-E", trace, 0, "%s : The API %s has failed.")                         \
    X(KTLOR_118_W, "KTLOR-118-W", trace, 10,                                                       \
      "%s : The invalid value(s) are found. All values are adjusted to default.")                  \
    X(KTLOR_119_W, "KTLOR-119-W", event_log, 5,                                                    \
      "Orvalis : Some parameters are invalid. All parameters are used to default value.")
