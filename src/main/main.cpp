// The main flow: banner, options, volume open, the commands in their fixed
// order, the volume log dump, and the closing of everything.
#include "../main.h"

#include "../../platform/console.h"
#include "../file.h"
#include "../ntfstool.h"
#include "../volume.h"
#include "korvex_version.h" // generated from the project version

int KorvexMain(int ArgumentCount, char16_t** Arguments)
{
    NtfsVolume* VolumeHandle = nullptr;
    NtfsFile* FileHandle = nullptr;

    Console_Print("korvex version %hs (%hs, %hs)\n", ProgramVersion, __DATE__, __TIME__);
    do {
        if (ArgumentCount <= 1) {
            Console_Print("for more information, type korvex -?\n");
            break;
        }
        if (!ParseOptions(ArgumentCount, Arguments))
            return -1;
        if (ProgramOptions.ShowHelp) {
            PrintHelp();
            return -1;
        }
        if (ProgramOptions.VolumeName == nullptr && ProgramOptions.VolumeLogFile == nullptr)
            Console_Print("Either -vol or -rlog must be specified\n");

        DWORD Error = NtfsVolume_Open(ProgramOptions.VolumeName, ProgramOptions.VolumeLogFile, &VolumeHandle,
                                      ProgramOptions.LockVolume);
        if (Error != ERROR_SUCCESS) {
            Console_Print("Unable to open the volume %s, error is %d\n", ProgramOptions.VolumeName, Error);
            break;
        }
        NTFS_ASSERT(VolumeHandle != NULL);
        NtfsVolume_Print(VolumeHandle);

        if (ProgramOptions.FileIdGiven) {
            Error = NtfsFile_Open(VolumeHandle, ProgramOptions.FileId, &FileHandle);
            if (Error != ERROR_SUCCESS) {
                Console_Print("Unable to open the file for fid 0x%I64x, error is %d\n", ProgramOptions.FileId, Error);
                break;
            }
            if (ProgramOptions.PrintFile)
                NtfsFile_Print(FileHandle);
            if (ProgramOptions.FullName) {
                Console_Print("Full filename: ");
                NtfsFile_PrintFullName(FileHandle);
                Console_Print("\n");
            }
            if (ProgramOptions.ListDir)
                ListDirectoryIfDirectory(FileHandle);
            if (ProgramOptions.AttributeGiven)
                ReadAttributeData(FileHandle);
        }

        if (ProgramOptions.SeidGiven && !ProgramOptions.ScanMftGiven) {
            Error = ListSecurityIds(VolumeHandle, ProgramOptions.SeidMin, ProgramOptions.SeidMax,
                                    ListSecurityIdsBySecurityId);
            if (Error != ERROR_SUCCESS && Error != ERROR_FILE_NOT_FOUND)
                Console_Print("Search security id failed, error is 0x%x\n", Error);
        }
        if (ProgramOptions.SehashGiven) {
            Error = ListSecurityIds(VolumeHandle, ProgramOptions.SehashMin, ProgramOptions.SehashMax,
                                    ListSecurityIdsByHash);
            if (Error != ERROR_SUCCESS)
                Console_Print("Search security id failed, error is 0x%x\n", Error);
        }
        if (ProgramOptions.ScanMftGiven)
            ScanMft(VolumeHandle, ProgramOptions.SeidMin, ProgramOptions.SeidMax);

        if (ProgramOptions.VolumeLogFile != nullptr && ProgramOptions.VolumeName != nullptr) {
            Console_Print("Dumping data to log...\n");
            Error = NtfsVolume_DumpLog(VolumeHandle);
            if (Error != ERROR_SUCCESS)
                Console_Print("Unable to dump the rlog, error is %d\n", Error);
            else
                Console_Print("Done\n");
        }
    } while (false);

    if (FileHandle != nullptr)
        NtfsFile_Close(FileHandle);
    if (VolumeHandle != nullptr)
        NtfsVolume_Close(VolumeHandle);
    return 0;
}
