/* queue: bounded slot queue (see queue.h). Logs nothing: results report. */
#include "queue.h"

#include <stdlib.h>
#include <string.h>

int queue_create(queue_t *q, int elem_size, int capacity)
{
    void **slots;

    pthread_mutex_init(&q->mutex, NULL);
    if (elem_size <= 0 || capacity <= 0)
        return 0;
    slots = (void **)calloc((size_t)capacity, sizeof(void *));
    if (!slots)
        return 0;
    for (int i = 0; i < capacity; i++) {
        slots[i] = malloc((size_t)elem_size);
        if (!slots[i]) {
            /* Leave the record as it was: a queue of capacity 0. */
            while (i-- > 0)
                free(slots[i]);
            free(slots);
            return 0;
        }
    }
    q->slots = slots;
    q->count = 0;
    q->capacity = capacity;
    q->elem_size = elem_size;
    q->head = 0;
    q->tail = 0;
    return 1;
}

void queue_destory(queue_t *q)
{
    if (!q->slots)
        return;
    for (int i = q->capacity - 1; i >= 0; i--)
        free(q->slots[i]);
    free(q->slots);
    pthread_mutex_destroy(&q->mutex);
}

int queue_push(queue_t *q, const void *src)
{
    int ok = 0;

    pthread_mutex_lock(&q->mutex);
    if (q->count < q->capacity) {
        memcpy(q->slots[q->tail], src, (size_t)q->elem_size);
        q->tail = (q->tail + 1) % q->capacity;
        q->count++;
        ok = 1;
    }
    pthread_mutex_unlock(&q->mutex);
    return ok;
}

int queue_pop(queue_t *q, void *dst)
{
    int ok = 0;

    pthread_mutex_lock(&q->mutex);
    if (q->count > 0) {
        memcpy(dst, q->slots[q->head], (size_t)q->elem_size);
        q->head = (q->head + 1) % q->capacity;
        q->count--;
        ok = 1;
    }
    pthread_mutex_unlock(&q->mutex);
    return ok;
}

int queue_at(queue_t *q, unsigned int pos, void *dst)
{
    int ok = 0;

    pthread_mutex_lock(&q->mutex);
    if (pos < (unsigned int)q->count) {
        memcpy(dst, q->slots[(q->head + (int)pos) % q->capacity], (size_t)q->elem_size);
        ok = 1;
    }
    pthread_mutex_unlock(&q->mutex);
    return ok;
}

int queue_size(queue_t *q)
{
    pthread_mutex_lock(&q->mutex);
    int n = q->count;
    pthread_mutex_unlock(&q->mutex);
    return n;
}

int queue_is_empty(queue_t *q)
{
    return queue_size(q) == 0;
}

int queue_is_full(queue_t *q)
{
    pthread_mutex_lock(&q->mutex);
    int full = q->count == q->capacity;
    pthread_mutex_unlock(&q->mutex);
    return full;
}
