/* powercut-rebuild SHADOW DIR
 *
 * Puts DIR back as a power cut would have left it, from the record the shim
 * (powercut.c) kept in SHADOW: every name a folder sync made durable, each
 * file with the contents of its inode's last sync (empty if it had none),
 * except SQLite's shared-memory files, which live in memory.
 * Prints the number of calls the host made, or where it was cut.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* One life of an inode number: a number freed and given to a new file
 * starts a new one, and a folder's names point at the lives they had when
 * it was synced. */
struct Inode
{
    unsigned long ino;
    char content[32]; /* snapshot name, "" when never synced */
    char listing[32]; /* listing name, "" when never synced */
    size_t *entries;  /* the life each listed name pointed at */
};

static struct Inode *g_inodes;
static size_t g_count, g_capacity;
static const char *g_shadow;

static size_t newLife(unsigned long ino)
{
    if (g_count == g_capacity) {
        g_capacity = g_capacity ? 2 * g_capacity : 256;
        g_inodes = realloc(g_inodes, g_capacity * sizeof *g_inodes);
        if (!g_inodes)
            exit(1);
    }
    memset(&g_inodes[g_count], 0, sizeof *g_inodes);
    g_inodes[g_count].ino = ino;
    return g_count++;
}

/* The current life of an inode number. */
static size_t life(unsigned long ino)
{
    for (size_t i = g_count; i > 0; --i)
        if (g_inodes[i - 1].ino == ino)
            return i - 1;
    return newLife(ino);
}

static int splitListing(char *line, char **type, unsigned long *ino, char **name, char **target)
{
    line[strcspn(line, "\n")] = '\0';
    *type = strtok(line, "\t");
    char *inoText = strtok(NULL, "\t");
    *name = strtok(NULL, "\t");
    *target = strtok(NULL, "\t");
    if (!*type || !inoText || !*name)
        return 0;
    *ino = strtoul(inoText, NULL, 10);
    return 1;
}

/* Records a folder's synced names with the lives they point at now. */
static void recordListing(unsigned long ino, const char *name)
{
    size_t dir = life(ino);
    char path[PATH_MAX], line[2 * PATH_MAX + 64];
    snprintf(path, sizeof path, "%s/%s", g_shadow, name);
    FILE *f = fopen(path, "r");
    if (!f)
        return;
    size_t n = 0, capacity = 16;
    size_t *entries = malloc(capacity * sizeof *entries);
    while (entries && fgets(line, sizeof line, f)) {
        char *type, *entry, *target;
        unsigned long childIno;
        if (!splitListing(line, &type, &childIno, &entry, &target))
            continue;
        if (n == capacity)
            entries = realloc(entries, (capacity *= 2) * sizeof *entries);
        if (entries)
            entries[n++] = life(childIno);
    }
    fclose(f);
    free(g_inodes[dir].entries);
    g_inodes[dir].entries = entries;
    snprintf(g_inodes[dir].listing, sizeof g_inodes[dir].listing, "%s", name);
}

static int removeTree(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path);
        struct dirent *e;
        while (d && (e = readdir(d))) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
                continue;
            char child[PATH_MAX];
            snprintf(child, sizeof child, "%s/%s", path, e->d_name);
            removeTree(child);
        }
        if (d)
            closedir(d);
        return rmdir(path);
    }
    return unlink(path);
}

static int copyFile(const char *from, const char *to)
{
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return -1;
    int in = *from ? open(from, O_RDONLY) : -1;
    char buf[65536];
    ssize_t n;
    while (in >= 0 && (n = read(in, buf, sizeof buf)) > 0)
        if (write(out, buf, (size_t)n) != n)
            return -1;
    if (in >= 0)
        close(in);
    return close(out);
}

/* Makes folder `path` hold the durable names of folder life `dir`. */
static int rebuild(const char *path, size_t dir, int depth)
{
    if (!g_inodes[dir].listing[0] || depth > 64)
        return 0;
    char listing[PATH_MAX];
    snprintf(listing, sizeof listing, "%s/%s", g_shadow, g_inodes[dir].listing);
    FILE *f = fopen(listing, "r");
    if (!f)
        return -1;
    char line[2 * PATH_MAX + 64];
    int rc = 0;
    size_t n = 0;
    while (fgets(line, sizeof line, f)) {
        char *type, *name, *target;
        unsigned long childIno;
        if (!splitListing(line, &type, &childIno, &name, &target))
            continue;
        size_t child = g_inodes[dir].entries[n++];
        char childPath[PATH_MAX];
        snprintf(childPath, sizeof childPath, "%s/%s", path, name);
        const size_t nameLength = strlen(name);
        if (*type == 'f' && nameLength > 4 && !strcmp(name + nameLength - 4, "-shm"))
            continue; /* SQLite's shared memory: a power cut wipes it, SQLite rebuilds it */
        if (*type == 'd') {
            if (mkdir(childPath, 0755) != 0 || rebuild(childPath, child, depth + 1) != 0)
                rc = -1;
        } else if (*type == 'l') {
            if (!target || symlink(target, childPath) != 0)
                rc = -1;
        } else {
            char content[PATH_MAX] = "";
            if (g_inodes[child].content[0])
                snprintf(content, sizeof content, "%s/%s", g_shadow, g_inodes[child].content);
            if (copyFile(content, childPath) != 0)
                rc = -1;
        }
    }
    fclose(f);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: powercut-rebuild SHADOW DIR\n");
        return 2;
    }
    g_shadow = argv[1];
    const char *dir = argv[2];
    char logPath[PATH_MAX];
    snprintf(logPath, sizeof logPath, "%s/log", g_shadow);
    FILE *log = fopen(logPath, "r");
    if (!log) {
        perror(logPath);
        return 1;
    }
    unsigned long root = 0;
    int haveRoot = 0;
    char line[2 * PATH_MAX], kind;
    char where[sizeof line] = "";
    while (fgets(line, sizeof line, log)) {
        unsigned long ino;
        char name[32];
        kind = line[0];
        if (kind == 'R' && !haveRoot && sscanf(line, "R %lu", &root) == 1) {
            haveRoot = 1;
        } else if (kind == 'N' && sscanf(line, "N %lu", &ino) == 1) {
            newLife(ino);
        } else if (kind == 'F' && sscanf(line, "F %lu %31s", &ino, name) == 2) {
            snprintf(g_inodes[life(ino)].content, sizeof g_inodes->content, "%s", name);
        } else if (kind == 'D' && sscanf(line, "D %lu %31s", &ino, name) == 2) {
            recordListing(ino, name);
        } else if (kind == 'K' || kind == 'E') {
            line[strcspn(line, "\n")] = '\0';
            snprintf(where, sizeof where, "%s", line);
        }
    }
    fclose(log);
    if (!haveRoot) {
        fprintf(stderr, "powercut-rebuild: no record of the folder in %s\n", logPath);
        return 1;
    }
    /* The folder itself stays (its own entry is outside the record). */
    DIR *d = opendir(dir);
    struct dirent *e;
    while (d && (e = readdir(d))) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        char child[PATH_MAX];
        snprintf(child, sizeof child, "%s/%s", dir, e->d_name);
        removeTree(child);
    }
    if (d)
        closedir(d);
    if (rebuild(dir, life(root), 0) != 0) {
        fprintf(stderr, "powercut-rebuild: cannot rebuild %s\n", dir);
        return 1;
    }
    /* "cut N CALL PATH" or "ended N" */
    printf("%s %s\n", where[0] == 'K' ? "cut" : where[0] == 'E' ? "ended" : "?",
           where[0] ? where + 2 : "");
    return 0;
}
