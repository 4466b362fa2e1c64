// tavbackup: verifies the board, then writes what it holds into a folder as an update set
// that a load takes back: each file under a temporary name first, put in place when whole.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "check/board_check.h"
#include "check/set_file.h"
#include "loader/loader.h"
#include "loader/update_files.h"

namespace {

constexpr uint32_t SOUND_IMAGE_BYTES = 1048576;
// Appended to a file's name while it is being written.
constexpr const char *PART_SUFFIX = ".part";

const char kBackupUsage[] =
    "usage: tavbackup [-debug][--force] DIR\n"
    "    -?         this help message\n"
    "    -debug     output progress/debugging information\n"
    "    --force    write also a board that does not verify, and replace a set in DIR\n"
    "    DIR        folder that receives the update set\n";

// One file of the set: where its bytes are on the board.
struct SetPiece {
    const char *base;
    SpaceView *view;
    uint32_t offset;
    uint32_t count;
};

int backup_usage(const char *message, const char *word) {
    if (message != nullptr) std::fprintf(stderr, "%s: %s%s%s\n", program_name, message, word ? " " : "", word ? word : "");
    std::fputs(kBackupUsage, stderr);
    return CHECK_EXIT_USAGE;
}

// Streams one piece from the board into its file. 1 ok, -1 after the message.
int write_piece(const SetPiece *piece) {
    std::string name = update_file_name(piece->base);
    std::string part = name + PART_SUFFIX;
    progress(PROGRESS_SEPARATOR "Writing (%s)...%8lu", name.c_str(), static_cast<unsigned long>(piece->count));
    int fd = set_file_create(part.c_str());
    if (fd < 0) {
        std::fprintf(stderr, "\n%s: unable to create file (%s) - %s\n", program_name, part.c_str(), std::strerror(errno));
        return -1;
    }
    uint32_t done = 0;
    while (done < piece->count) {
        uint32_t n = piece->count - done < TRANSFER_BYTES ? piece->count - done : TRANSFER_BYTES;
        if (flash_read(&piece->view->fsi, piece->offset + done, transfer_buffer, n) != 1) {
            std::fprintf(stderr, "\n%s: unable to read FLASH for (%s)\n", program_name, name.c_str());
            set_file_abandon(fd, part.c_str());
            return -1;
        }
        if (set_file_write(fd, transfer_buffer, n) != 1) {
            std::fprintf(stderr, "\n%s: unable to write file (%s) - %s\n", program_name, part.c_str(), std::strerror(errno));
            set_file_abandon(fd, part.c_str());
            return -1;
        }
        progress_counter(piece->count - done);
        done += n;
    }
    if (set_file_finish(fd) != 1 || set_file_replace(part.c_str(), name.c_str()) != 1) {
        std::fprintf(stderr, "\n%s: unable to write file (%s) - %s\n", program_name, name.c_str(), std::strerror(errno));
        return -1;
    }
    progress(PROGRESS_COUNTER_END);
    return 1;
}

// The pieces of the set in writing order, BootData last so that a set cut short does not
// load. Returns their number; *game_files and *sound_file say what is in it.
int plan_pieces(BoardCheck *check, SetPiece pieces[6], int *game_files, int *sound_file) {
    int loaded = check->record_state == RECORD_LOADED;
    *game_files = (loaded ? check->record.game_size != 0 : 1) && check->images_fit;
    *sound_file = (loaded ? check->record.sound_size != 0 : 1) && check->sound.present;
    int n = 0;
    if (*game_files) {
        for (int i = 0; i < 3; i++)
            pieces[n++] = {check_region_file(CHECK_IM_FLSH0 + i), &check->game, check->image_offset[i], check->image_bytes[i]};
    }
    pieces[n++] = {"tavboot.rom", &check->game, TAVBOOT_OFFSET, TAVBOOT_BYTES};
    if (*sound_file) pieces[n++] = {"sf.rom", &check->sound, 0, SOUND_IMAGE_BYTES};
    if (*game_files) pieces[n++] = {"bootdata.rom", &check->game, 0, BOOT_DATA_BYTES};
    return n;
}

// The first file of the set already in the folder, or an empty name.
std::string existing_set_file(void) {
    static const char *const names[6] = {"bootdata.rom", "im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom", "sf.rom"};
    for (const char *base : names) {
        std::string name = update_file_name(base);
        struct stat info;
        if (stat(name.c_str(), &info) == 0) return name;
    }
    return std::string();
}

int write_backup(BoardCheck *check, const char *dir, int force) {
    if (!check_passed(check)) {
        if (!force) {
            std::fprintf(stderr, "%s: the board does not verify; nothing written (--force writes it anyway)\n",
                         program_name);
            return CHECK_EXIT_FAILED;
        }
        if (!check->images_fit && (check->record_state != RECORD_LOADED || check->record.game_size != 0)) {
            std::fprintf(stderr, "%s: the board's BootData does not describe images that fit; nothing written\n",
                         program_name);
            return CHECK_EXIT_FAILED;
        }
    }
    std::string existing = existing_set_file();
    if (!existing.empty() && !force) {
        std::fprintf(stderr, "%s: (%s) already exists; nothing written (--force replaces the set)\n", program_name,
                     existing.c_str());
        return CHECK_EXIT_FAILED;
    }
    if (set_dir_make(dir) != 1) {
        std::fprintf(stderr, "%s: unable to make folder (%s) - %s\n", program_name, dir, std::strerror(errno));
        return CHECK_EXIT_FAILED;
    }
    SetPiece pieces[6];
    int game_files = 0, sound_file = 0;
    int count = plan_pieces(check, pieces, &game_files, &sound_file);
    for (int i = 0; i < count; i++)
        if (write_piece(&pieces[i]) != 1) return CHECK_EXIT_FAILED;
    progress(PROGRESS_SEPARATOR);

    long game = check->record_state == RECORD_LOADED ? check->record.game_id : check->boot->boot_game_id;
    if (game_files) {
        std::printf("%s: wrote GameID %ld V%ld.%ld into (%s)%s\n", program_name, game,
                    static_cast<long>(check->boot->boot_version_major), static_cast<long>(check->boot->boot_version_minor),
                    dir, sound_file ? " with its sound image" : " without a sound image");
    } else {
        std::printf("%s: wrote the sound image of GameID %ld into (%s)\n", program_name, game, dir);
    }
    const char *only = !game_files ? "-sfonly " : (!sound_file ? "-gfonly " : "");
    std::printf("restore it with: tavload -p%s %s%ld\n", dir, only, game);
    std::fflush(stdout);
    return CHECK_EXIT_OK;
}

}  // namespace

int backup_main(uint8_t *window, int argc, char **argv) {
    program_name = "tavbackup";
    debug = 0;
    run_options = RunOptions{};
    run_options.prefix = "";
    int force = 0;
    const char *dir = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (!check_is_option(word)) {
            if (dir != nullptr) return backup_usage("only one DIR may be given, not also", word);
            dir = word;
        } else if (std::strcmp(word + 1, "?") == 0) {
            std::fputs(kBackupUsage, stderr);
            return CHECK_EXIT_OK;
        } else if (std::strcmp(word + 1, "debug") == 0) {
            debug = 1;
        } else if (std::strcmp(word, "--force") == 0) {
            force = 1;
        } else {
            return backup_usage("invalid option", word);
        }
    }
    if (dir == nullptr || dir[0] == '\0') return backup_usage("DIR must be specified", nullptr);
    run_options.path = dir;
    run_options.path_given = 1;

    if (start_board_work(window) != 1) return -1;
    BoardCheck check;
    int exit_status = CHECK_EXIT_FAILED;
    if (check_read_board(&check) == 1) {
        if (debug == 1) print_tav_info(&check.record);
        check_board(&check, 0);
        print_check_report(&check);
        exit_status = write_backup(&check, dir, force);
    }
    check_free(&check);
    return exit_status;
}
