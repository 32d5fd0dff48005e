// Stands in for the exam client installer: writes its working folder and its arguments, one per line, to
// "installer-run.txt" in its working folder (and its TEMP and TMP to "installer-env.txt"), then ends. The update tests serve its bytes as the installer.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    std::error_code ec;
    std::string folder = std::filesystem::current_path(ec).string();
    std::string record = folder + "\n";
    for (int i = 1; i < argc; ++i) record += std::string(argv[i]) + "\n";
    // Written under a scratch name and renamed, so a reader never sees half a record.
    std::filesystem::path done = std::filesystem::current_path(ec) / "installer-run.txt";
    std::filesystem::path partial = std::filesystem::current_path(ec) / "installer-run.part";
    FILE* file = std::fopen(partial.string().c_str(), "wb");
    if (!file) return 1;
    std::fwrite(record.data(), 1, record.size(), file);
    std::fclose(file);
    // The temporary folder it was given, beside the record, written before it.
    const char* temp = std::getenv("TEMP");
    const char* tmp = std::getenv("TMP");
    std::string env = std::string("TEMP=") + (temp ? temp : "") + "\nTMP=" + (tmp ? tmp : "") + "\n";
    if (FILE* envFile = std::fopen((std::filesystem::current_path(ec) / "installer-env.txt").string().c_str(), "wb")) {
        std::fwrite(env.data(), 1, env.size(), envFile);
        std::fclose(envFile);
    }
    std::filesystem::rename(partial, done, ec);
    return ec ? 1 : 0;
}
