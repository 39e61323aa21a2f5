// Preloaded into a contender to count its heap allocations. The count lives
// in the file named by BENCH_ALLOC_COUNTER, shared by every process of the
// contender, so it survives the SIGKILL that ends the run.
#include <atomic>
#include <cstddef>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
}

namespace {

std::atomic<unsigned long> *counter;

__attribute__((constructor)) void map_counter()
{
	const char *path = std::getenv("BENCH_ALLOC_COUNTER");
	if (path == nullptr)
		return;
	const int fd = open(path, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return;
	void *shared = mmap(nullptr, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	close(fd);
	if (shared != MAP_FAILED)
		counter = static_cast<std::atomic<unsigned long> *>(shared);
}

void count()
{
	if (counter != nullptr)
		counter->fetch_add(1, std::memory_order_relaxed);
}

} // namespace

extern "C" {
void *malloc(std::size_t size)
{
	count();
	return __libc_malloc(size);
}
void *calloc(std::size_t n, std::size_t size)
{
	count();
	return __libc_calloc(n, size);
}
void *realloc(void *old, std::size_t size)
{
	count();
	return __libc_realloc(old, size);
}
void *memalign(std::size_t alignment, std::size_t size)
{
	count();
	return __libc_memalign(alignment, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size)
{
	return memalign(alignment, size);
}
int posix_memalign(void **out, std::size_t alignment, std::size_t size)
{
	*out = memalign(alignment, size);
	return *out != nullptr || size == 0 ? 0 : 12; // ENOMEM
}
}
